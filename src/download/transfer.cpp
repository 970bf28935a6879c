#include "transfer.h"

#include "diag/itlog.h"
#include "platform/curlholder.h"
#include "responsedecision.h"
#include "streamhasher.h"
#include "transportfailure.h"

#include <QStorageInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace download {

namespace {

constexpr const char *kUserAgent = "QuillmarshOnlineInstaller/1.0";
constexpr long kMaxRedirects = 16;
constexpr long kMinReceiveBuffer = 1024; // the smallest libcurl takes

enum class Sink { Undecided, File, Discard };

struct Context
{
    Context(const TransferSetup &s, TransferResult &r) : setup(s), result(r) {}

    const TransferSetup &setup;
    TransferResult &result;
    CURL *curl = nullptr;
    Sink sink = Sink::Undecided;
    bool abortedOnPurpose = false; // the callbacks stopped the transfer for a reason of ours
    int writeErrno = 0;

    bool cancelled() const { return setup.cancelled && setup.cancelled->load(); }
    void refuseResume(const QString &reason)
    {
        result.restart = true;
        result.restartReason = reason;
        abortedOnPurpose = true;
    }
    ResponseHead head() const;
    bool decide();
    bool continueHeld(const ResponseDecision &d);
    bool replaceHeld(const ResponseDecision &d);
    bool withinLimit(qint64 size);
    bool fitsOnDisk();
};

// The latest response's status and headers (after redirects and interim answers).
ResponseHead Context::head() const
{
    ResponseHead h;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &h.status);
    for (curl_header *prev = nullptr, *next;
         (next = curl_easy_nextheader(curl, CURLH_HEADER, -1, prev)); prev = next)
        h.headers.append({QByteArray(next->name), QByteArray(next->value).trimmed()});
    return h;
}

// Called once the final response's headers are known; false stops the transfer.
bool Context::decide()
{
    const ResponseDecision d =
        decideResponse(head(), {setup.rangeFrom, setup.expectedTotal, setup.validator});
    switch (d.use) {
    case ResponseDecision::ErrorPage:
        sink = Sink::Discard;
        return true;
    case ResponseDecision::Restart:
        refuseResume(d.why);
        return false;
    case ResponseDecision::Refuse:
        result.code = CURLE_WEIRD_SERVER_REPLY;
        result.message = curlErrorText(CURLE_WEIRD_SERVER_REPLY, d.why.toUtf8().constData());
        abortedOnPurpose = true;
        return false;
    case ResponseDecision::Continuation:
        return continueHeld(d);
    case ResponseDecision::WholeFile:
        return replaceHeld(d);
    }
    return false;
}

bool Context::continueHeld(const ResponseDecision &d)
{
    sink = Sink::File;
    result.bodyWritten = true;
    result.continuedFrom = setup.rangeFrom;
    result.fileBytes = setup.rangeFrom;
    result.total = d.total;
    result.validator = d.validator;
    result.rangesServed = d.rangesServed;
    if (setup.hash && !(setup.heldHash && setup.hash->continueFrom(*setup.heldHash))) {
        // Without the held bytes' digest the file cannot be vouched for: start it over.
        refuseResume(QStringLiteral("digest of the held bytes unavailable"));
        return false;
    }
    if (!withinLimit(result.total) || !fitsOnDisk())
        return false;
    if (setup.resumed)
        setup.resumed(setup.rangeFrom, d.total);
    return true;
}

bool Context::replaceHeld(const ResponseDecision &d)
{
    sink = Sink::File;
    result.bodyWritten = true;
    result.continuedFrom = 0;
    result.total = d.total;
    if (setup.rangeFrom > 0 &&
        (::ftruncate(setup.fd, 0) != 0 || ::lseek(setup.fd, 0, SEEK_SET) != 0)) {
        writeErrno = errno;
        return false;
    }
    result.fileBytes = 0;
    result.validator = d.validator;
    result.rangesServed = d.rangesServed;
    if (setup.hash)
        setup.hash->reset();
    return withinLimit(result.total) && fitsOnDisk();
}

// A file larger than the caller can use is not worth a byte more of bandwidth or disk.
bool Context::withinLimit(qint64 size)
{
    if (setup.maxBytes < 0 || size <= setup.maxBytes)
        return true;
    result.tooLargeAt = size;
    abortedOnPurpose = true;
    return false;
}

// Checked once the size is known and before any of the body is written, so that a full disk
// ends the attempt at once instead of minutes later, with nothing written that cannot be used.
bool Context::fitsOnDisk()
{
    if (result.total < 0 || setup.spaceFolder.isEmpty())
        return true;
    const qint64 needed = result.total - result.fileBytes;
    const qint64 available = QStorageInfo(setup.spaceFolder).bytesAvailable();
    if (available < 0 || needed <= available)
        return true;
    result.noSpace = true;
    result.bytesNeeded = needed;
    result.bytesAvailable = available;
    abortedOnPurpose = true;
    return false;
}

size_t onBody(char *data, size_t size, size_t count, void *userdata)
{
    auto *c = static_cast<Context *>(userdata);
    const size_t bytes = size * count;
    c->result.received += qint64(bytes);
    if (c->cancelled())
        return 0;
    if (c->sink == Sink::Undecided && !c->decide())
        return 0;
    if (c->sink == Sink::Discard)
        return bytes;
    if (!c->withinLimit(c->result.fileBytes + qint64(bytes)))
        return 0;
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::write(c->setup.fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            c->writeErrno = n < 0 ? errno : ENOSPC;
            return 0;
        }
        done += size_t(n);
    }
    c->result.fileBytes += qint64(bytes);
    if (c->setup.hash)
        c->setup.hash->update(data, qint64(bytes));
    if (c->setup.written)
        c->setup.written(c->result);
    if (c->setup.progress)
        c->setup.progress(c->result.fileBytes, c->result.total);
    return bytes;
}

// Also while no byte arrives: what was written before a stall is then described for a later run.
int onTick(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *c = static_cast<Context *>(userdata);
    if (c->cancelled())
        return 1;
    if (c->sink == Sink::File && c->setup.written)
        c->setup.written(c->result);
    return 0;
}

// Redirects keep the scheme of the address asked for: an https download never continues
// over plain http.
const char *allowedScheme(const QString &url)
{
    return QUrl(url).scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ? "http"
                                                                                       : "https";
}

} // namespace

QString curlErrorText(CURLcode code, const char *detail)
{
    const QString text = QString::fromUtf8(curl_easy_strerror(code));
    const QString more = detail ? QString::fromUtf8(detail).trimmed() : QString();
    if (more.isEmpty() || more == text)
        return text;
    if (more.contains(text))
        return more;
    return text + QStringLiteral(": ") + more;
}

namespace {

// One try of the request along one route.
TransferResult transferVia(const TransferSetup &setup, const platform::ProxyRoute &route,
                           const QString &noProxy)
{
    TransferResult result;
    result.proxy = route.url;
    platform::CurlRequest request;
    Context c(setup, result);
    c.curl = request.get();
    const QByteArray url = setup.url.toUtf8();
    const char *scheme = allowedScheme(setup.url);
    if (setup.rangeFrom > 0) {
        request.addHeader(
            ("Range: bytes=" + QByteArray::number(setup.rangeFrom) + '-').constData());
        if (!setup.validator.isEmpty())
            request.addHeader(("If-Range: " + setup.validator).constData());
    }
    request.set(CURLOPT_URL, url.constData());
    request.set(CURLOPT_PROTOCOLS_STR, scheme);
    request.set(CURLOPT_REDIR_PROTOCOLS_STR, scheme);
    request.set(CURLOPT_FOLLOWLOCATION, 1L);
    request.set(CURLOPT_MAXREDIRS, kMaxRedirects);
    request.set(CURLOPT_USERAGENT, kUserAgent);
    request.set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    request.trustSystemStore();
    request.useProxy(route, noProxy);
    // A limited file is read in pieces no larger than one past the limit, so that no more than
    // that arrives once it is passed.
    long buffer = setup.receiveBufferBytes > 0 ? setup.receiveBufferBytes : kReceiveBufferSize;
    if (setup.maxBytes >= 0 && setup.maxBytes < buffer)
        buffer = qMax(long(setup.maxBytes) + 1, kMinReceiveBuffer);
    request.set(CURLOPT_BUFFERSIZE, buffer);
    request.set(CURLOPT_CONNECTTIMEOUT, long(setup.lowSpeedTimeSeconds));
    request.set(CURLOPT_LOW_SPEED_LIMIT, qMax(1L, setup.lowSpeedLimit));
    request.set(CURLOPT_LOW_SPEED_TIME, long(setup.lowSpeedTimeSeconds));
    request.set(CURLOPT_TIMEOUT_MS, long(qMax<qint64>(1, setup.timeoutMs)));
    request.set(CURLOPT_WRITEFUNCTION, onBody);
    request.set(CURLOPT_WRITEDATA, static_cast<void *>(&c));
    request.set(CURLOPT_NOPROGRESS, 0L);
    request.set(CURLOPT_XFERINFOFUNCTION, onTick);
    request.set(CURLOPT_XFERINFODATA, static_cast<void *>(&c));
    // The first option libcurl refuses ends the attempt before anything is sent.
    if (request.setupCode() != CURLE_OK) {
        result.code = request.setupCode();
        result.message = curlErrorText(result.code, request.setupFailure().constData());
        return result;
    }
    CURL *h = request.get();

    CURLcode code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.httpStatus);
    if (!route.isDirect()) {
        curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &result.proxyStatus);
        // Until a proxy reached over TLS has answered, a certificate failure can only be its own:
        // told as the server's, it would send the user to the wrong setting, and no other route
        // would be tried.
        if (route.url.startsWith(u"https://") && result.proxyStatus == 0 &&
            (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CONNECT_ERROR))
            code = CURLE_PROXY;
        // A plain http request asks the proxy itself, which answers in the request's place.
        if (result.httpStatus == 407 && std::strcmp(allowedScheme(setup.url), "http") == 0) {
            result.proxyStatus = 407;
            result.httpStatus = 0;
            code = CURLE_PROXY;
        }
        if (result.proxyStatus == 407 || result.proxyStatus == 401) {
            result.code = code == CURLE_OK ? CURLE_PROXY : code;
            result.message = QStringLiteral("proxy %1 asks for a password (HTTP %2)")
                                 .arg(route.url)
                                 .arg(result.proxyStatus);
            return result;
        }
    }

    // A response without a body never reached the body callback.
    if (code == CURLE_OK && c.sink == Sink::Undecided && !c.cancelled())
        c.decide();
    if (result.restart || c.abortedOnPurpose)
        return result;
    if (c.writeErrno != 0) {
        result.code = CURLE_WRITE_ERROR;
        result.message =
            curlErrorText(CURLE_WRITE_ERROR, qt_error_string(c.writeErrno).toUtf8().constData());
        return result;
    }
    if (code != CURLE_OK) {
        result.code = code;
        result.message = curlErrorText(code, request.errorDetail());
        if (!route.isDirect() && !result.message.contains(route.url))
            result.message += QStringLiteral(" (proxy %1)").arg(route.url);
        curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &result.sslVerifyResult);
        return result;
    }
    if (c.sink == Sink::File && result.total > 0 && result.fileBytes != result.total) {
        const QByteArray detail = QByteArray::number(result.fileBytes) + " of " +
                                  QByteArray::number(result.total) + " bytes received";
        result.code = CURLE_PARTIAL_FILE;
        result.message = curlErrorText(CURLE_PARTIAL_FILE, detail.constData());
    }
    return result;
}

} // namespace

TransferResult runTransfer(const TransferSetup &setup)
{
    const QUrl url(setup.url);
    const platform::ProxyDecision proxy =
        platform::decideProxy(url, [c = setup.cancelled] { return c && c->load(); });
    const QString host = platform::hostAndPort(url);
    const QString how = proxy.describe();
    if (platform::firstMention(host, how))
        ITLog("DL: %@ reached %@", host, how);
    TransferResult result;
    for (qsizetype i = 0; i < proxy.routes.size(); ++i) {
        result = transferVia(setup, proxy.routes[i], proxy.noProxy);
        // A proxy that could not carry the request hands it to the next route untouched.
        const bool proxyFailed = isProxyFailure(classifyTransportFailure(
            result.code, result.sslVerifyResult, result.proxyStatus, !result.proxy.isEmpty()));
        if (!proxyFailed || result.bodyWritten || i + 1 == proxy.routes.size() ||
            (setup.cancelled && setup.cancelled->load()))
            break;
        ITLog("DL: %@ failed, trying the next way: %@", result.proxy, result.message);
    }
    return result;
}

} // namespace download
