#include "testhttpserver.h"

#include "loopbacklistener.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMap>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace testsupport {

namespace {

constexpr int kPollMs = 20;
constexpr int kMaxHeaderBytes = 64 * 1024;

// Clients read the status code only; the phrase is for people reading a capture.
QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases{{200, "OK"},
                                                {206, "Partial Content"},
                                                {301, "Moved Permanently"},
                                                {302, "Found"},
                                                {307, "Temporary Redirect"},
                                                {404, "Not Found"},
                                                {416, "Range Not Satisfiable"},
                                                {500, "Internal Server Error"},
                                                {503, "Service Unavailable"}};
    return phrases.value(status, "Status");
}

QByteArray findHeader(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

bool containsHeader(const HeaderList &headers, const QByteArray &name)
{
    return std::any_of(headers.begin(), headers.end(), [&](const auto &h) {
        return h.first.compare(name, Qt::CaseInsensitive) == 0;
    });
}

QByteArray httpDate(const QDateTime &t)
{
    return QLocale::c()
        .toString(t.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

// Parses a single "bytes=" range against size; nullopt when absent or not a single range,
// {-1,-1} when unsatisfiable.
std::optional<QPair<qint64, qint64>> parseRange(const QByteArray &value, qint64 size)
{
    if (!value.startsWith("bytes=") || value.contains(','))
        return std::nullopt;
    const QByteArray range = value.mid(6).trimmed();
    const int dash = range.indexOf('-');
    if (dash < 0)
        return std::nullopt;
    bool okA = true, okB = true;
    const QByteArray a = range.left(dash).trimmed(), b = range.mid(dash + 1).trimmed();
    qint64 first, last;
    if (a.isEmpty()) { // suffix range: the last b bytes
        const qint64 n = b.toLongLong(&okB);
        if (!okB || n <= 0)
            return std::nullopt;
        first = qMax<qint64>(0, size - n);
        last = size - 1;
    } else {
        first = a.toLongLong(&okA);
        last = b.isEmpty() ? size - 1 : qMin(b.toLongLong(&okB), size - 1);
        if (!okA || !okB || first < 0)
            return std::nullopt;
    }
    if (first >= size || last < first)
        return QPair<qint64, qint64>(-1, -1);
    return QPair<qint64, qint64>(first, last);
}

} // namespace

QByteArray HttpRequest::header(const QByteArray &name) const
{
    return findHeader(headers, name);
}
bool HttpRequest::hasHeader(const QByteArray &name) const
{
    return containsHeader(headers, name);
}

QByteArray HttpRequest::path() const
{
    const int q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

HttpResponse HttpResponse::make(int status, const QByteArray &body)
{
    HttpResponse r;
    r.status = status;
    r.body = body;
    return r;
}

HttpResponse HttpResponse::redirect(int status, const QByteArray &location)
{
    return make(status).header("Location", location);
}

HttpResponse &HttpResponse::header(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

void HttpResponse::removeHeader(const QByteArray &name)
{
    headers.removeIf(
        [&](const auto &h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
}

QByteArray TestHttpServer::fileETag(const QString &filePath)
{
    const QFileInfo info(filePath);
    return '"' + QByteArray::number(info.size(), 16) + '-' +
           QByteArray::number(info.lastModified().toMSecsSinceEpoch(), 16) + '"';
}

HttpResponse TestHttpServer::fileResponse(const HttpRequest &request, const QString &filePath)
{
    QFile file(filePath);
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly))
        return HttpResponse::make(404, "not found\n");
    const qint64 size = file.size();
    const QByteArray etag = fileETag(filePath);
    const QByteArray lastModified = httpDate(QFileInfo(filePath).lastModified());

    HttpResponse r;
    r.header("ETag", etag).header("Last-Modified", lastModified).header("Accept-Ranges", "bytes");
    const QByteArray ifRange = request.header("If-Range");
    const bool rangeAllowed = ifRange.isEmpty() || ifRange == etag || ifRange == lastModified;
    const auto range = rangeAllowed ? parseRange(request.header("Range"), size) : std::nullopt;
    if (range && range->first < 0) {
        r.status = 416;
        r.header("Content-Range", "bytes */" + QByteArray::number(size));
        return r;
    }
    if (range) {
        r.status = 206;
        r.header("Content-Range", "bytes " + QByteArray::number(range->first) + '-' +
                                      QByteArray::number(range->second) + '/' +
                                      QByteArray::number(size));
        file.seek(range->first);
        r.body = file.read(range->second - range->first + 1);
        return r;
    }
    r.body = file.readAll();
    return r;
}

struct TestHttpServer::Private
{
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex; // guards everything below
    std::deque<HttpResponse> queue;
    Handler handler;
    QString directory;
    QList<HttpRequest> requests;
    QMap<QByteArray, qint64> bodySent; // by path

    void serveConnection(int fd);
    HttpResponse choose(const HttpRequest &request);

    // Socket helpers that give up when the server stops or the peer goes away.
    bool waitReadable(int fd);
    bool readRequest(int fd, QByteArray &buffer, HttpRequest &request);
    bool readMore(int fd, QByteArray &buffer);
    bool sendAll(int fd, const char *data, qint64 size);
    bool sleepMs(int ms);
    void holdOpen(int fd);
    bool writeResponse(int fd, const HttpRequest &request, HttpResponse &response);

    std::unique_ptr<LoopbackListener> listener; // set once connections can be served
};

TestHttpServer::TestHttpServer() : d(std::make_unique<Private>())
{
    d->listener = std::make_unique<LoopbackListener>([p = d.get()](int fd) {
        return std::function<void()>([p, fd] { p->serveConnection(fd); });
    });
}

TestHttpServer::~TestHttpServer()
{
    // The running connections notice `stopping` and give up; the listener then joins them.
    d->stopping = true;
    d->listener.reset();
}

bool TestHttpServer::isListening() const
{
    return d->listener->isListening();
}
quint16 TestHttpServer::port() const
{
    return d->listener->port();
}

QString TestHttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(d->listener->port()).arg(path);
}

void TestHttpServer::setHandler(Handler handler)
{
    std::lock_guard lock(d->mutex);
    d->handler = std::move(handler);
}

void TestHttpServer::enqueue(const HttpResponse &response)
{
    std::lock_guard lock(d->mutex);
    d->queue.push_back(response);
}

void TestHttpServer::serveDirectory(const QString &dir)
{
    std::lock_guard lock(d->mutex);
    d->directory = dir;
}

qint64 TestHttpServer::bodyBytesSent(const QByteArray &path) const
{
    std::lock_guard lock(d->mutex);
    return d->bodySent.value(path);
}

void TestHttpServer::clearBodyBytesSent()
{
    std::lock_guard lock(d->mutex);
    d->bodySent.clear();
}

QList<HttpRequest> TestHttpServer::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

int TestHttpServer::requestCount() const
{
    std::lock_guard lock(d->mutex);
    return int(d->requests.size());
}

void TestHttpServer::clearRequests()
{
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

HttpResponse TestHttpServer::Private::choose(const HttpRequest &request)
{
    Handler h;
    QString dir;
    {
        std::lock_guard lock(mutex);
        requests.append(request);
        if (!queue.empty()) {
            HttpResponse r = std::move(queue.front());
            queue.pop_front();
            return r;
        }
        h = handler;
        dir = directory;
    }
    if (h)
        return h(request);
    if (!dir.isEmpty() && !request.path().contains("/../"))
        return fileResponse(
            request, dir + QString::fromUtf8(QByteArray::fromPercentEncoding(request.path())));
    return HttpResponse::make(404, "not found\n");
}

bool TestHttpServer::Private::waitReadable(int fd)
{
    while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, kPollMs);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
    return false;
}

bool TestHttpServer::Private::readMore(int fd, QByteArray &buffer)
{
    if (!waitReadable(fd))
        return false;
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    buffer.append(chunk, n);
    return true;
}

bool TestHttpServer::Private::readRequest(int fd, QByteArray &buffer, HttpRequest &request)
{
    int end;
    while ((end = buffer.indexOf("\r\n\r\n")) < 0) {
        if (buffer.size() > kMaxHeaderBytes || !readMore(fd, buffer))
            return false;
    }
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    buffer.remove(0, end + 4);
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    if (first.size() < 3)
        return false;
    request.method = first[0];
    request.target = first[1];
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append(
                {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
    }
    const qint64 length = request.header("Content-Length").toLongLong();
    while (buffer.size() < length)
        if (!readMore(fd, buffer))
            return false;
    request.body = buffer.left(length);
    buffer.remove(0, length);
    return true;
}

bool TestHttpServer::Private::sendAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        if (stopping)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, kPollMs) <= 0)
            continue;
        const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

bool TestHttpServer::Private::sleepMs(int ms)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stopping)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(qMin(ms, 5)));
    }
    return !stopping;
}

void TestHttpServer::Private::holdOpen(int fd)
{
    char sink[4096];
    while (waitReadable(fd))
        if (::recv(fd, sink, sizeof sink, 0) <= 0)
            return;
}

// Returns whether the connection may carry another request.
bool TestHttpServer::Private::writeResponse(int fd, const HttpRequest &request, HttpResponse &r)
{
    if (r.dropConnection)
        return false;
    if (r.noAnswer) {
        holdOpen(fd);
        return false;
    }

    const bool head = request.method == "HEAD";
    const bool clientCloses = request.header("Connection").toLower() == "close";
    const bool closeAfter =
        clientCloses || (r.omitContentLength && !r.chunked) || r.closeAfter >= 0;
    QByteArray wire =
        "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasonPhrase(r.status) + "\r\n";
    for (const auto &h : r.headers)
        wire += h.first + ": " + h.second + "\r\n";
    if (r.chunked)
        wire += "Transfer-Encoding: chunked\r\n";
    else if (!r.omitContentLength && !containsHeader(r.headers, "Content-Length"))
        wire += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    if (closeAfter && !containsHeader(r.headers, "Connection"))
        wire += "Connection: close\r\n";
    wire += "\r\n";
    if (!sendAll(fd, wire.constData(), wire.size()))
        return false;
    if (head)
        return !closeAfter;

    const qint64 piece = r.pieceSize > 0 ? r.pieceSize : qMax<qint64>(1, r.body.size());
    QList<QByteArray> pieces;
    for (qint64 at = 0; at < r.body.size(); at += piece) {
        const QByteArray part = r.body.mid(at, piece);
        pieces.append(r.chunked ? QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n"
                                : part);
    }
    if (r.chunked)
        pieces.append("0\r\n\r\n");

    qint64 sent = 0;
    for (int i = 0; i < pieces.size(); ++i) {
        if (i > 0 && r.pieceDelayMs > 0 && !sleepMs(r.pieceDelayMs))
            return false;
        qint64 n = pieces[i].size();
        qint64 limit = -1;
        if (r.closeAfter >= 0)
            limit = r.closeAfter;
        if (r.stallAfter >= 0 && (limit < 0 || r.stallAfter < limit))
            limit = r.stallAfter;
        const bool cut = limit >= 0 && sent + n >= limit;
        if (cut)
            n = limit - sent;
        if (n > 0 && !sendAll(fd, pieces[i].constData(), n))
            return false;
        sent += n;
        {
            std::lock_guard lock(mutex);
            bodySent[request.path()] += n;
        }
        if (cut) {
            if (r.stallAfter >= 0 && r.stallAfter == limit)
                holdOpen(fd);
            else if (r.resetOnClose) {
                const linger abort{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            return false;
        }
    }
    if (r.stallAfter >= 0) {
        holdOpen(fd);
        return false;
    }
    return !closeAfter;
}

void TestHttpServer::Private::serveConnection(int fd)
{
    QByteArray buffer;
    for (;;) {
        HttpRequest request;
        if (!readRequest(fd, buffer, request))
            return;
        HttpResponse response = choose(request);
        if (!writeResponse(fd, request, response))
            return;
    }
}

} // namespace testsupport
