#include "logwriter.h"

#include "itlog.h"

namespace diag {

LogLine LogLine::now(const QString &message)
{
    LogLine line{{}, message.toStdString()};
    clock_gettime(CLOCK_REALTIME, &line.time);
    return line;
}

LogWriter::LogWriter(std::chrono::milliseconds drainAllowance)
    : m_drainAllowance(drainAllowance), m_thread([this] { run(); })
{}

// A write that is under way when the allowance ends is waited for: a disk that stuck inside
// write() would hold the end of the process just the same, joined or not.
LogWriter::~LogWriter()
{
    drain(QDeadlineTimer(m_drainAllowance));
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_one();
    m_thread.join();
}

void LogWriter::enqueue(LogLine line)
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(line));
    }
    m_wake.notify_one();
}

bool LogWriter::drain(QDeadlineTimer deadline)
{
    std::unique_lock lock(m_mutex);
    const auto done = [this] { return m_queue.empty() && !m_writing; };
    if (deadline.isForever()) {
        m_idle.wait(lock, done);
        return true;
    }
    return m_idle.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()), done);
}

void LogWriter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping)
            return;
        const LogLine line = std::move(m_queue.front());
        m_queue.pop_front();
        m_writing = true;
        lock.unlock();
        writeLogLine(line);
        lock.lock();
        m_writing = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

} // namespace diag
