#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

// Counts the running worker threads of one kind, so that an orderly exit (and a test) can wait
// for the last one. Instances are meant to be leaked: a detached worker may still report its
// end while static objects are being destroyed.
class WorkerTracker
{
public:
    void started()
    {
        std::lock_guard lock(m_mutex);
        ++m_running;
    }

    void finished()
    {
        std::lock_guard lock(m_mutex);
        if (--m_running == 0)
            m_idle.notify_all();
    }

    // True when no worker is left within timeoutMs.
    bool waitIdle(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_running == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_running = 0;
};

} // namespace platform
