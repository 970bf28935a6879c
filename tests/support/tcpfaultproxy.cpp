#include "tcpfaultproxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace testsupport {

namespace {

constexpr int kProxyPollMs = 20;

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

int connectToLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

struct TcpFaultProxy::Private
{
    quint16 targetPort = 0;
    quint16 port = 0;
    int listenFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<qint64> bytesToClient{0};
    std::thread acceptThread;

    mutable std::mutex mutex; // guards the members below
    std::deque<qint64> cuts;
    int connections = 0;
    std::list<std::thread> threads;

    void acceptLoop();
    void relay(int client, qint64 cutAfter);
};

TcpFaultProxy::TcpFaultProxy(quint16 targetPort) : d(std::make_unique<Private>())
{
    d->targetPort = targetPort;
    d->listenFd = listenOnLoopback(&d->port);
    if (d->listenFd >= 0)
        d->acceptThread = std::thread([p = d.get()] { p->acceptLoop(); });
}

TcpFaultProxy::~TcpFaultProxy()
{
    d->stopping = true;
    if (d->acceptThread.joinable())
        d->acceptThread.join();
    std::list<std::thread> threads;
    {
        std::lock_guard lock(d->mutex);
        threads.swap(d->threads);
    }
    for (auto &t : threads)
        t.join();
    if (d->listenFd >= 0)
        ::close(d->listenFd);
}

bool TcpFaultProxy::isListening() const
{
    return d->listenFd >= 0;
}
quint16 TcpFaultProxy::port() const
{
    return d->port;
}

void TcpFaultProxy::cutNextAfter(qint64 bytes)
{
    std::lock_guard lock(d->mutex);
    d->cuts.push_back(bytes);
}

int TcpFaultProxy::connectionCount() const
{
    std::lock_guard lock(d->mutex);
    return d->connections;
}

qint64 TcpFaultProxy::bytesToClient() const
{
    return d->bytesToClient;
}

void TcpFaultProxy::Private::acceptLoop()
{
    while (!stopping) {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, kProxyPollMs) <= 0)
            continue;
        const int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        std::lock_guard lock(mutex);
        ++connections;
        qint64 cut = -1;
        if (!cuts.empty()) {
            cut = cuts.front();
            cuts.pop_front();
        }
        threads.emplace_back([this, client, cut] {
            relay(client, cut);
            ::close(client);
        });
    }
}

void TcpFaultProxy::Private::relay(int client, qint64 cutAfter)
{
    const int server = connectToLoopback(targetPort);
    if (server < 0)
        return;
    qint64 toClient = 0;
    static constexpr size_t kChunk = 256 * 1024;
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    while (!stopping) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(fds, 2, kProxyPollMs) <= 0)
            continue;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(client, buffer.get(), kChunk, 0);
            if (n <= 0 || !sendAll(server, buffer.get(), size_t(n)))
                break;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::recv(server, buffer.get(), kChunk, 0);
            if (n <= 0)
                break;
            const bool cut = cutAfter >= 0 && toClient + n >= cutAfter;
            if (cut)
                n = ssize_t(cutAfter - toClient);
            if (n > 0 && !sendAll(client, buffer.get(), size_t(n)))
                break;
            toClient += n;
            bytesToClient += n;
            if (cut)
                break;
        }
    }
    ::close(server);
}

} // namespace testsupport
