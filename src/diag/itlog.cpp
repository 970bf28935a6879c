#include "itlog.h"

#include "logwriter.h"

#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LogFile
{
    QString path;
    int fd = -1; // open for the rest of the process
};

std::atomic<const LogFile *> gOpened{nullptr};
// Taken to hand a line to the writer, or to write it when there is none, so lines stay in the
// order of the calls and the writer is never swapped while a line is on its way to it.
std::mutex gWriterMutex;
diag::LogWriter *gWriter = nullptr;

// Distribution and kernel, e.g. "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64".
QString osDescription()
{
    QString kernel = QSysInfo::kernelType();
    if (!kernel.isEmpty())
        kernel[0] = kernel[0].toUpper();
    kernel += u' ' + QSysInfo::kernelVersion();
    const QString product = QSysInfo::prettyProductName();
    return product.isEmpty() ? kernel : product + QStringLiteral(", ") + kernel;
}

// The log is appended to only when it is a regular file of the user's own. A link is never
// followed, so that nobody can have the installer append to, or create, a file of their choosing;
// a FIFO or device is not written, as its writes could block or go anywhere. O_NONBLOCK keeps
// open() from waiting for a FIFO's reader; it makes no difference to a regular file.
int openLog(const QString &path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(),
               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    struct stat st
    {
    };
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// snprintf's %d always prints ASCII digits, whatever the user's locale.
void appendLogLine(int fd, const diag::LogLine &line)
{
    tm local{};
    if (fd < 0)
        return;
    const time_t seconds = line.time.tv_sec;
    if (!localtime_r(&seconds, &local))
        return;
    char stamp[64];
    const int n =
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, static_cast<int>(line.time.tv_nsec / 1000000));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof stamp)
        return;
    std::string text;
    text.reserve(static_cast<size_t>(n) + line.message.size() + 1);
    text.append(stamp, static_cast<size_t>(n)).append(line.message).push_back('\n');

    // One write per line on an O_APPEND descriptor, so lines from two writers never mix.
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        p += w;
        left -= static_cast<size_t>(w);
    }
}

LogFile openLogFile()
{
    LogFile file;
    const QString dir = platform::logsDirectory();
    if (!dir.isEmpty()) {
        QDir().mkpath(dir);
        file.path = dir + QStringLiteral("/quillmarsh-installer.log");
    }
    tzset();
    // O_APPEND: the file is never truncated, and every line lands at its end.
    file.fd = file.path.isEmpty() ? -1 : openLog(file.path);
    if (file.fd < 0)
        return file;
    // Written here, so that every caller that waits for the opening finds them first.
    for (const QString &banner : {QStringLiteral("======== Quillmarsh Setup started ========"),
                                  QStringLiteral("Bundle: ") + platform::programDirectory(),
                                  QStringLiteral("OS: ") + osDescription()})
        appendLogLine(file.fd, diag::LogLine::now(banner));
    return file;
}

// Opened by the first line of the process; concurrent first callers wait for it.
const LogFile &logFile()
{
    static const LogFile file = openLogFile();
    gOpened.store(&file, std::memory_order_release);
    return file;
}

} // namespace

void ITLogMessage(const QString &message)
{
    const int fd = logFile().fd;
    // Timestamp of the call, not of the write.
    diag::LogLine line = diag::LogLine::now(message);
    if (fd < 0)
        return;
    std::lock_guard lock(gWriterMutex);
    if (gWriter)
        gWriter->enqueue(std::move(line));
    else
        appendLogLine(fd, line);
}

QString ITLogFilePath()
{
    const LogFile *file = gOpened.load(std::memory_order_acquire);
    return file ? file->path : QString();
}

void ITLogDrain(int maxMs)
{
    // Held throughout, so the writer cannot go away under the wait; it needs no such lock.
    std::lock_guard lock(gWriterMutex);
    if (gWriter)
        gWriter->drain(QDeadlineTimer(std::max(maxMs, 0)));
}

namespace diag {

void writeLogLine(const LogLine &line)
{
    appendLogLine(logFile().fd, line);
}

void setLogWriter(LogWriter *writer)
{
    std::lock_guard lock(gWriterMutex);
    gWriter = writer;
}

} // namespace diag
