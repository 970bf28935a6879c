#include "tcpfaultproxy.h"

#include "loopbacklistener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>

namespace testsupport {

namespace {

constexpr int kProxyPollMs = 20;

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
    std::atomic<bool> stopping{false};
    std::atomic<qint64> bytesToClient{0};

    mutable std::mutex mutex; // guards the members below
    std::deque<qint64> cuts;

    void relay(int client, qint64 cutAfter);

    std::unique_ptr<LoopbackListener> listener; // set once connections can be relayed
};

TcpFaultProxy::TcpFaultProxy(quint16 targetPort) : d(std::make_unique<Private>())
{
    d->targetPort = targetPort;
    d->listener = std::make_unique<LoopbackListener>([p = d.get()](int client) {
        qint64 cut = -1;
        {
            std::lock_guard lock(p->mutex);
            if (!p->cuts.empty()) {
                cut = p->cuts.front();
                p->cuts.pop_front();
            }
        }
        return std::function<void()>([p, client, cut] { p->relay(client, cut); });
    });
}

TcpFaultProxy::~TcpFaultProxy()
{
    d->stopping = true;
    d->listener.reset();
}

bool TcpFaultProxy::isListening() const
{
    return d->listener->isListening();
}
quint16 TcpFaultProxy::port() const
{
    return d->listener->port();
}

void TcpFaultProxy::cutNextAfter(qint64 bytes)
{
    std::lock_guard lock(d->mutex);
    d->cuts.push_back(bytes);
}

qint64 TcpFaultProxy::bytesToClient() const
{
    return d->bytesToClient;
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
