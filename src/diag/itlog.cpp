#include "itlog.h"

#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

struct LogEntry
{
    timespec time;
    std::string message; // UTF-8
};

// The writer's state is created once and deliberately never destroyed: the writer thread is
// detached, so exit never joins a thread that may be blocked in write(), and nothing it
// touches can be torn down under it by static destructors. It uses only libc from here on.
struct LogWriter
{
    int fd = -1;
    std::mutex mutex;
    std::condition_variable wake;    // the writer waits for work
    std::condition_variable drained; // ITLogDrain waits for an empty queue
    std::deque<LogEntry> queue;
    bool writing = false;            // the writer holds a line taken from the queue

    void run();
    static void writeLine(int fd, const LogEntry &entry);
};

LogWriter *gLogWriter = nullptr;   // set once, before gLogReady
QString gLogPath;                  // set once, before gLogReady
std::atomic<bool> gLogReady{false};
std::once_flag gLogInitOnce;

// "yyyy-MM-dd HH:mm:ss.SSS  message\n" in local time; snprintf's %d always prints ASCII digits.
void LogWriter::writeLine(int fd, const LogEntry &entry)
{
    tm local {};
    time_t seconds = entry.time.tv_sec;
    if (!localtime_r(&seconds, &local))
        return;
    char stamp[64];
    const int n = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ",
                                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec,
                                static_cast<int>(entry.time.tv_nsec / 1000000));
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

void LogWriter::run()
{
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return !queue.empty(); });
        LogEntry entry = std::move(queue.front());
        queue.pop_front();
        writing = true;
        lock.unlock();
        writeLine(fd, entry);
        lock.lock();
        writing = false;
        if (queue.empty())
            drained.notify_all();
    }
}

void enqueue(const LogEntry &entry)
{
    LogWriter *w = gLogWriter;
    if (!w)
        return;
    {
        std::lock_guard lock(w->mutex);
        w->queue.push_back(entry);
    }
    w->wake.notify_one();
}

LogEntry entryNow(const QString &message)
{
    LogEntry e {{}, message.toStdString()};
    clock_gettime(CLOCK_REALTIME, &e.time);
    return e;
}

QString unquoteOsReleaseValue(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'')
        && value.back() == value.front()) {
        value = value.mid(1, value.size() - 2);
    }
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size())
            ++i;
        out += value[i];
    }
    return out;
}

// Distribution name from os-release plus the kernel release, e.g.
// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64".
QString osDescription()
{
    QString pretty;
    for (const char *path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine());
            if (line.startsWith(QLatin1String("PRETTY_NAME="))) {
                pretty = unquoteOsReleaseValue(line.mid(12));
                break;
            }
        }
        break;
    }
    utsname uts {};
    QString kernel;
    if (::uname(&uts) == 0)
        kernel = QString::fromUtf8(uts.sysname) + u' ' + QString::fromUtf8(uts.release);
    if (pretty.isEmpty())
        return kernel;
    return kernel.isEmpty() ? pretty : pretty + QStringLiteral(", ") + kernel;
}

void ITLogInit()
{
    const QString dir = platform::logsDirectory();
    QDir().mkpath(dir);
    gLogPath = dir + QStringLiteral("/quillmarsh-installer.log");
    tzset();

    // O_APPEND: the file is never truncated, and every line lands at its end.
    const int fd = ::open(QFile::encodeName(gLogPath).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        auto *writer = new LogWriter;
        writer->fd = fd;
        try {
            std::thread([writer] { writer->run(); }).detach();
            gLogWriter = writer;
        } catch (...) { // no thread, no log
            ::close(fd);
            delete writer;
        }
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
    LogWriter *w = gLogWriter;
    std::unique_lock lock(w->mutex);
    w->drained.wait_for(lock, std::chrono::milliseconds(maxMs < 0 ? 0 : maxMs),
                        [w] { return w->queue.empty() && !w->writing; });
}
