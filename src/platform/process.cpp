#include "process.h"

#include "uniquefd.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

class Pipe
{
public:
    Pipe()
    {
        int fd[2] = {-1, -1};
        m_ok = ::pipe2(fd, O_CLOEXEC) == 0;
        m_read.reset(fd[0]);
        m_write.reset(fd[1]);
    }
    Q_DISABLE_COPY_MOVE(Pipe)

    bool ok() const { return m_ok; }
    int readEnd() const { return m_read.get(); }
    int writeEnd() const { return m_write.get(); }
    void closeWrite() { m_write.reset(); }

private:
    platform::UniqueFd m_read;
    platform::UniqueFd m_write;
    bool m_ok = false;
};

class SpawnActions
{
public:
    SpawnActions() { ::posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { ::posix_spawn_file_actions_destroy(&m_actions); }
    Q_DISABLE_COPY_MOVE(SpawnActions)
    posix_spawn_file_actions_t *get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

// Reads both pipes until both are closed or the deadline passes (false then). Neither is read
// to its end before the other, so a child blocked on a full standard-error pipe cannot hold up
// its standard output, or the reverse.
bool drain(Pipe &out, Pipe &err, QByteArray *outBytes, QByteArray *errBytes,
           QDeadlineTimer deadline)
{
    pollfd fds[2] = {{out.readEnd(), POLLIN, 0}, {err.readEnd(), POLLIN, 0}};
    QByteArray *sinks[2] = {outBytes, errBytes};
    char buffer[65536];
    int open = 2;
    while (open > 0) {
        const int waitMs = deadline.isForever() ? -1 : int(deadline.remainingTime());
        const int ready = ::poll(fds, 2, waitMs);
        if (ready == 0)
            return false;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                if (sinks[i])
                    sinks[i]->append(buffer, n);
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1; // end of file, or a read error we cannot recover from
                --open;
            }
        }
    }
    return true;
}

int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

ProgramRun runProgram(const QString &launchPath, const QStringList &arguments, QByteArray *output,
                      QByteArray *errorOutput, QDeadlineTimer deadline, int input)
{
    ProgramRun run;
    const QByteArray path = QFile::encodeName(launchPath);
    std::vector<QByteArray> storage;
    storage.reserve(arguments.size() + 1);
    storage.push_back(path);
    for (const QString &argument : arguments)
        storage.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    Pipe out;
    Pipe err;
    pid_t pid = -1;
    if (!out.ok() || !err.ok()) {
        run.spawnError = errno;
    } else {
        // dup2 clears close-on-exec on the child's 1 and 2; every other pipe end closes on exec.
        SpawnActions actions;
        if (input >= 0)
            ::posix_spawn_file_actions_adddup2(actions.get(), input, STDIN_FILENO);
        ::posix_spawn_file_actions_adddup2(actions.get(), out.writeEnd(), STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(actions.get(), err.writeEnd(), STDERR_FILENO);
        run.spawnError =
            ::posix_spawn(&pid, path.constData(), actions.get(), nullptr, argv.data(), environ);
    }
    if (run.spawnError != 0)
        return run;
    out.closeWrite();
    err.closeWrite();
    if (!drain(out, err, output, errorOutput, deadline)) {
        run.timedOut = true;
        ::kill(pid, SIGKILL);
    }
    run.status = waitForExit(pid);
    return run;
}

bool detachFuseMount(const QString &fusermount, const QString &mountPoint, QDeadlineTimer deadline)
{
    // A plain unmount first; a lazy one when something still holds the mount (a file open on it
    // in another process), so that it goes as soon as that lets go.
    if (runProgram(fusermount, {QStringLiteral("-u"), mountPoint}, nullptr, nullptr, deadline)
            .status == 0)
        return true;
    return runProgram(fusermount, {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint}, nullptr,
                      nullptr, deadline)
               .status == 0;
}

} // namespace platform
