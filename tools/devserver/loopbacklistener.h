#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace testsupport {

// Accepts connections on 127.0.0.1 (a free port) and runs each on a thread of its own. The
// destructor stops accepting and joins every connection thread, so the owner must first make
// its connection work give up (its own stop flag).
class LoopbackListener
{
public:
    // Called on the accept thread for each connection; returns the work for the connection's
    // thread. The socket is closed after that work.
    using Accept = std::function<std::function<void()>(int fd)>;

    explicit LoopbackListener(Accept accept);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    bool isListening() const { return m_fd >= 0; }
    quint16 port() const { return m_port; }

private:
    void acceptLoop();

    Accept m_accept;
    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex; // guards the members below
    std::list<std::thread> m_threads;
    std::list<std::thread::id> m_finished; // threads that are done and may be joined

    std::thread m_acceptThread;
};

} // namespace testsupport
