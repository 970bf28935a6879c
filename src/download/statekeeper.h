#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace download {

// Keeps a download's resume state on disk as the bytes arrive, from a thread of its own, so that
// syncing the partial file never holds up the bytes coming in. Each state offered is written
// after the partial file has been synced (fdatasync), so it never describes more than a power
// cut leaves; a newer offer replaces one not yet written.
class StateKeeper
{
public:
    // partialFd stays open, and stateFile unused by anyone else, until stop() has returned.
    StateKeeper(const QString &stateFile, int partialFd, std::chrono::milliseconds pause);
    ~StateKeeper(); // stop()
    StateKeeper(const StateKeeper &) = delete;
    StateKeeper &operator=(const StateKeeper &) = delete;

    // Whether a new state is welcome: none waits, and the last was written at least pause ago.
    bool wantsState();
    void offer(const QByteArray &encodedState);
    void stop(); // drops what waits, lets the write in hand finish and joins the thread

private:
    void run();

    const QString m_stateFile;
    const int m_fd;
    const std::chrono::milliseconds m_pause;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<QByteArray> m_pending;
    bool m_writing = false;
    bool m_stopping = false;
    std::chrono::steady_clock::time_point m_lastWritten{};
    std::thread m_thread; // not started when no thread can be made: then nothing is kept early
};

} // namespace download
