#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

// A scriptable HTTP/1.1 server on 127.0.0.1 for tests. It listens on a free port from the
// moment it is constructed and serves from threads of its own (one per connection), so a test
// may block its GUI thread in QTRY_* or QSignalSpy::wait while requests are answered.
//
// Each request gets, in this order of preference: the front of the response queue
// (enqueue), the handler's answer (setHandler), a file from the served directory
// (serveDirectory, with real Range / If-Range handling), or a 404.
// Every request is recorded (after its body has been read, before it is answered).
// HEAD requests get the chosen response's headers without its body.
namespace testsupport {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method;  // "GET", "POST", ...
    QByteArray target;  // path and query as sent: "/a/b?x=1"
    HeaderList headers; // in the order received
    QByteArray body;    // as framed by Content-Length

    QByteArray header(const QByteArray &name) const; // first value, any case; empty if absent
    bool hasHeader(const QByteArray &name) const;
    QByteArray path() const; // target without the query
};

struct HttpResponse
{
    int status = 200;
    HeaderList headers; // sent as given, in order, after the status line
    QByteArray body;

    // Framing. Content-Length is added unless a header already carries one.
    bool omitContentLength = false; // no length: the body ends when the connection closes
    bool chunked = false;           // Transfer-Encoding: chunked, one chunk per piece

    // Pacing and faults. Byte counts are of the body as written (chunk framing included).
    int pieceSize = 0;           // write the body in pieces of this many bytes (0: in one go)
    int pieceDelayMs = 0;        // pause before every piece but the first
    qint64 closeAfter = -1;      // close the connection once this many body bytes are out
    bool resetOnClose = false;   // that close is a reset (RST): unread bytes may be lost
    qint64 stallAfter = -1;      // stop once this many body bytes are out, keep the connection open
    bool noAnswer = false;       // read the request, never answer, keep the connection open
    bool dropConnection = false; // read the request, close the connection without a byte

    // A stalled or unanswered connection stays open until the client closes it or the
    // server is destroyed.

    static HttpResponse make(int status, const QByteArray &body = {});
    static HttpResponse redirect(int status, const QByteArray &location);
    HttpResponse &header(const QByteArray &name, const QByteArray &value);
    void removeHeader(const QByteArray &name); // every value, any case
};

class TestHttpServer
{
public:
    // Called on a connection thread, possibly on several at once: keep it thread-safe. No
    // lock of the server is held, so it may call the server's accessors.
    using Handler = std::function<HttpResponse(const HttpRequest &)>;

    TestHttpServer();
    ~TestHttpServer(); // closes every connection and joins every thread
    TestHttpServer(const TestHttpServer &) = delete;
    TestHttpServer &operator=(const TestHttpServer &) = delete;

    bool isListening() const;
    quint16 port() const;
    QString url(const QString &path = QStringLiteral("/")) const; // http://127.0.0.1:<port><path>

    void setHandler(Handler handler);
    void enqueue(const HttpResponse &response);
    void serveDirectory(const QString &dir); // empty: stop serving files

    // Bytes of response bodies handed to the network for requests of path (chunk framing
    // included), since the server started or the last clear.
    qint64 bodyBytesSent(const QByteArray &path) const;
    void clearBodyBytesSent();

    QList<HttpRequest> requests() const;
    int requestCount() const;
    void clearRequests();

    // What serveDirectory answers for filePath: 200 with the whole file, 206 for a
    // satisfiable single "bytes=" range (honoured only when If-Range, if sent, equals the
    // ETag or the Last-Modified date), 416 for an unsatisfiable one, 404 when unreadable.
    // Carries ETag, Last-Modified and "Accept-Ranges: bytes". Handlers use it to serve real
    // content and then spoil one detail.
    static HttpResponse fileResponse(const HttpRequest &request, const QString &filePath);
    // The strong ETag fileResponse sends for filePath (size and modification time).
    static QByteArray fileETag(const QString &filePath);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace testsupport
