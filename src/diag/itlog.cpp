#include "itlog.h"

#include "platform/paths.h"
#include "platform/detachedworker.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LogEntry
{
    timespec time;
    std::string message; // UTF-8
};

// The writer's state is created once and deliberately never destroyed: a writer is a detached
// worker, so exit never joins a thread that may be blocked in write(), and nothing it touches
// can be torn down under it by static destructors. It uses only libc from here on.
struct LogWriter
{
    int fd = -1;
    std::mutex mutex;
    std::deque<LogEntry> queue;
    bool running = false; // a writer is at work; at most one, so lines keep their order

    void run();
    static void writeLine(int fd, const LogEntry &entry);
};

LogWriter *gLogWriter = nullptr; // set once, before gLogReady
QString gLogPath;                // set once, before gLogReady
std::atomic<bool> gLogReady{false};
std::once_flag gLogInitOnce;

// "yyyy-MM-dd HH:mm:ss.SSS  message\n" in local time; snprintf's %d always prints ASCII digits.
void LogWriter::writeLine(int fd, const LogEntry &entry)
{
    tm local{};
    time_t seconds = entry.time.tv_sec;
    if (!localtime_r(&seconds, &local))
        return;
    char stamp[64];
    const int n =
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, static_cast<int>(entry.time.tv_nsec / 1000000));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof stamp)
        return;
    std::string line;
    line.reserve(static_cast<size_t>(n) + entry.message.size() + 1);
    line.append(stamp, static_cast<size_t>(n)).append(entry.message).push_back('\n');

    // One write per line on an O_APPEND descriptor; a failure loses this line only.
    const char *p = line.data();
    size_t left = line.size();
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

// Writes until the queue is empty, then ends: the log costs no thread while nothing is logged,
// and waiting for the Log workers is waiting for the queue to drain.
void LogWriter::run()
{
    std::unique_lock lock(mutex);
    while (!queue.empty()) {
        LogEntry entry = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        writeLine(fd, entry);
        lock.lock();
    }
    running = false;
}

void enqueue(LogEntry entry)
{
    LogWriter *w = gLogWriter;
    if (!w)
        return;
    std::lock_guard lock(w->mutex);
    w->queue.push_back(std::move(entry));
    if (w->running)
        return;
    // Without a thread the line waits in the queue for the next call to try again.
    w->running = platform::startWorker(platform::WorkerKind::Log, [w] { w->run(); });
}

LogEntry entryNow(const QString &message)
{
    LogEntry e{{}, message.toStdString()};
    clock_gettime(CLOCK_REALTIME, &e.time);
    return e;
}

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

void ITLogInit()
{
    const QString dir = platform::logsDirectory();
    if (!dir.isEmpty()) {
        QDir().mkpath(dir);
        gLogPath = dir + QStringLiteral("/quillmarsh-installer.log");
    }
    tzset();

    // O_APPEND: the file is never truncated, and every line lands at its end.
    const int fd = gLogPath.isEmpty() ? -1 : openLog(gLogPath);
    if (fd >= 0) {
        auto *writer = new LogWriter;
        writer->fd = fd;
        gLogWriter = writer;
    }
    gLogReady.store(true, std::memory_order_release);

    enqueue(entryNow(QStringLiteral("======== Quillmarsh Setup started ========")));
    enqueue(entryNow(QStringLiteral("Bundle: ") + platform::programDirectory()));
    enqueue(entryNow(QStringLiteral("OS: ") + osDescription()));
}

} // namespace

void ITLogMessage(const QString &message)
{
    std::call_once(gLogInitOnce, ITLogInit);
    // Timestamp of the call, not of the write.
    enqueue(entryNow(message));
}

QString ITLogFilePath()
{
    return gLogReady.load(std::memory_order_acquire) ? gLogPath : QString();
}

void ITLogDrain(int maxMs)
{
    if (!gLogReady.load(std::memory_order_acquire) || !gLogWriter)
        return;
    platform::waitForWorkers(platform::WorkerKind::Log, QDeadlineTimer(std::max(maxMs, 0)));
}
