#include "testsupport.h"

#include "diag/itlog.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <vector>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

const QString kTestLib = QStringLiteral(QM_SOURCE_DIR "/tests/support/testlib.sh");

namespace {

struct ShellRun
{
    int status = -1;
    QByteArray out;
};

ShellRun runShell(const QString &script, const QStringList &args, bool ownMounts)
{
    QStringList argv = QStringList{"/bin/sh", "-c", script, "sh"} + args;
    if (ownMounts)
        argv = QStringList{"/usr/bin/unshare", "-m", "--propagation", "private"} + argv;
    std::vector<QByteArray> bytes;
    for (const QString &arg : argv)
        bytes.push_back(arg.toLocal8Bit());
    std::vector<char *> pointers;
    for (QByteArray &arg : bytes)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);

    ShellRun run;
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const bool started =
        ::posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    const QDeadlineTimer deadline(60000);
    bool timedOut = false;
    while (started) {
        pollfd readable{pipeEnds[0], POLLIN, 0};
        const int ready = ::poll(&readable, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        char chunk[4096];
        const ssize_t n = ready > 0 ? ::read(pipeEnds[0], chunk, sizeof chunk) : -1;
        if (n <= 0)
            break;
        run.out.append(chunk, n);
    }
    ::close(pipeEnds[0]);
    int status = 0;
    if (started && ::waitpid(pid, &status, 0) == pid && !timedOut && WIFEXITED(status))
        run.status = WEXITSTATUS(status);
    return run;
}

} // namespace

void prepareTestProcess()
{
    qputenv("QTEST_DISABLE_STACK_DUMP", "1");
    qputenv("QTEST_DISABLE_CORE_DUMP", "1");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_DATA_HOME");
    // Open to other users, as a build tree is: some tests run helpers as users of their own.
    static QTemporaryDir home(QDir::tempPath() + "/qm-test-home-XXXXXX");
    QFile::setPermissions(home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                           QFile::ExeOther);
    QDir(home.path()).mkpath("runtime");
    QFile::setPermissions(home.filePath("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.filePath("state")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.filePath("runtime")));
}

QString shell(const QString &script, const QStringList &args, bool ownMounts)
{
    return QString::fromUtf8(runShell(script, args, ownMounts).out);
}

int shellStatus(const QString &script, const QStringList &args)
{
    return runShell(script, args, false).status;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly) &&
           f.write(bytes) == bytes.size() && f.flush();
}

QByteArray readFile(const QString &path, qint64 from)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.seek(from) ? f.readAll() : QByteArray();
}

QString readText(const QString &path, qint64 from)
{
    return QString::fromUtf8(readFile(path, from));
}

QString entries(const QString &dir)
{
    return QDir(dir)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                   QDir::Name)
        .join(u' ');
}

QString describeTree(const QString &root)
{
    return shell("cd \"$1\" 2>/dev/null || { echo absent; exit; }; { find . -printf '%p %y %m %n "
                 "%l\\n'; find . ! -type l -exec stat -c '%n %Y' {} +; find . -type f -exec "
                 "sha256sum {} +; } 2>&1 | LC_ALL=C sort",
                 {root});
}

QByteArray sha256Of(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result().toHex() : QByteArray();
}

QString logText(qint64 from)
{
    ITLogDrain(2000);
    return readText(ITLogFilePath(), from);
}

qint64 logSize()
{
    ITLogDrain(2000);
    return QFileInfo(ITLogFilePath()).size();
}

bool privateMounts()
{
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace testsupport
