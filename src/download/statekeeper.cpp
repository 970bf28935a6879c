#include "statekeeper.h"

#include "resumestate.h"

#include <system_error>
#include <unistd.h>
#include <utility>

namespace download {

StateKeeper::StateKeeper(const QString &stateFile, int partialFd, std::chrono::milliseconds pause)
    : m_stateFile(stateFile), m_fd(partialFd), m_pause(pause)
{
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // The state is still written when the attempt ends; only a kill loses more.
    }
}

StateKeeper::~StateKeeper()
{
    stop();
}

bool StateKeeper::wantsState()
{
    std::lock_guard lock(m_mutex);
    return m_thread.joinable() && !m_stopping && !m_pending && !m_writing &&
           std::chrono::steady_clock::now() - m_lastWritten >= m_pause;
}

void StateKeeper::offer(const QByteArray &encodedState)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_pending = encodedState;
    }
    m_wake.notify_all();
}

void StateKeeper::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_pending.reset();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void StateKeeper::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || m_pending; });
        if (m_stopping)
            return;
        const QByteArray state = *std::exchange(m_pending, std::nullopt);
        m_writing = true;
        lock.unlock();
        // The bytes the state describes were written before it was offered.
        if (::fdatasync(m_fd) == 0)
            writeStateFile(m_stateFile, state);
        lock.lock();
        m_writing = false;
        m_lastWritten = std::chrono::steady_clock::now();
    }
}

} // namespace download
