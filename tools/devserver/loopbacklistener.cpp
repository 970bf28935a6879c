#include "loopbacklistener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace testsupport {

namespace {

constexpr int kAcceptPollMs = 20;

int listenOnLoopback(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

LoopbackListener::LoopbackListener(Accept accept) : m_accept(std::move(accept))
{
    m_fd = listenOnLoopback(&m_port);
    if (m_fd >= 0)
        m_acceptThread = std::thread([this] { acceptLoop(); });
}

LoopbackListener::~LoopbackListener()
{
    m_stopping = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    // No new connection threads can appear now.
    std::list<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_threads);
    }
    for (auto &t : threads)
        t.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

void LoopbackListener::acceptLoop()
{
    while (!m_stopping) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, kAcceptPollMs) <= 0)
            continue;
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::function<void()> work = m_accept(fd);
        std::lock_guard lock(m_mutex);
        // Join what has ended, so a long test does not pile up finished threads.
        for (const auto id : m_finished) {
            auto t = std::find_if(m_threads.begin(), m_threads.end(),
                                  [id](const std::thread &t) { return t.get_id() == id; });
            if (t != m_threads.end()) {
                t->join();
                m_threads.erase(t);
            }
        }
        m_finished.clear();
        m_threads.emplace_back([this, fd, work = std::move(work)] {
            if (work)
                work();
            ::close(fd);
            std::lock_guard lock(m_mutex);
            m_finished.push_back(std::this_thread::get_id());
        });
    }
}

} // namespace testsupport
