#pragma once

#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace diag {

struct LogLine
{
    timespec time{};
    std::string message; // UTF-8

    static LogLine now(const QString &message); // stamped with the time of the call
};

// The thread that writes the setup log, and its queue. Callers only queue their line, so none
// of them waits for the disk. The destructor writes out what is queued until drainAllowance has
// passed, drops the rest and joins the thread.
class LogWriter
{
public:
    explicit LogWriter(std::chrono::milliseconds drainAllowance);
    ~LogWriter();
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    void enqueue(LogLine line);
    // True once every line queued so far is written, waiting at most until deadline.
    bool drain(QDeadlineTimer deadline);

private:
    void run();

    const std::chrono::milliseconds m_drainAllowance;
    std::mutex m_mutex;
    std::condition_variable m_wake; // a line is queued, or the thread is to stop
    std::condition_variable m_idle; // the queue is written out
    std::deque<LogLine> m_queue;
    bool m_writing = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace diag
