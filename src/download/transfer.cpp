#include "transfer.h"

#include "platform/castore.h"
#include "platform/curlholder.h"
#include "resumestate.h"
#include "streamhasher.h"

#include <QStorageInfo>
#include <QUrl>

#include <cerrno>
#include <unistd.h>

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
    long status = 0;

    // A header of the latest response (after redirects and interim answers); empty if absent.
    QByteArray header(const char *name) const
    {
        curl_header *h = nullptr;
        if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h)
            return {};
        return QByteArray(h->value).trimmed();
    }

    bool cancelled() const { return setup.cancelled && setup.cancelled->load(); }
    void refuseResume(const QString &reason)
    {
        result.restart = true;
        result.restartReason = reason;
        abortedOnPurpose = true;
    }
    bool decide();
    bool acceptContinuation();
    bool withinLimit(qint64 size);
    bool fitsOnDisk();
};

QByteArray strongValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    if (!etag.isEmpty())
        return etag.startsWith("W/") ? QByteArray() : etag;
    return lastModified;
}

// The held bytes may be continued only by the rest of the very same file.
bool Context::acceptContinuation()
{
    const auto range = parseContentRange(header("Content-Range"));
    if (!range) {
        refuseResume(QStringLiteral("206 without a usable Content-Range"));
        return false;
    }
    if (range->first != setup.rangeFrom || range->total != setup.expectedTotal) {
        refuseResume(QStringLiteral("206 for bytes %1-%2/%3, expected %4-/%5")
                         .arg(range->first)
                         .arg(range->last)
                         .arg(range->total)
                         .arg(setup.rangeFrom)
                         .arg(setup.expectedTotal));
        return false;
    }
    const QByteArray etag = header("ETag"), lastModified = header("Last-Modified");
    const bool heldEtag = setup.validator.startsWith('"');
    if ((heldEtag && !etag.isEmpty() && etag != setup.validator) ||
        (!heldEtag && !lastModified.isEmpty() && lastModified != setup.validator)) {
        refuseResume(QStringLiteral("206 of another version of the file"));
        return false;
    }
    if (header("Accept-Ranges").trimmed().compare("none", Qt::CaseInsensitive) == 0) {
        refuseResume(QStringLiteral("server does not serve ranges"));
        return false;
    }
    result.fileBytes = setup.rangeFrom;
    result.total = range->total;
    result.validator = setup.validator;
    result.rangesServed = true;
    if (setup.hash && !(setup.heldHash && setup.hash->continueFrom(*setup.heldHash))) {
        // Without the held bytes' digest the file cannot be vouched for: start it over.
        refuseResume(QStringLiteral("digest of the held bytes unavailable"));
        return false;
    }
    if (!withinLimit(result.total) || !fitsOnDisk())
        return false;
    if (setup.resumed)
        setup.resumed(setup.rangeFrom, range->total);
    return true;
}

// Called once the final response's headers are known; false stops the transfer.
bool Context::decide()
{
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        if (setup.rangeFrom > 0 && status == 416) {
            refuseResume(QStringLiteral("416"));
            return false;
        }
        sink = Sink::Discard; // an error page is never the file
        return true;
    }
    sink = Sink::File;
    result.bodyWritten = true;
    if (status == 206 && setup.rangeFrom > 0)
        return acceptContinuation();

    if (status == 206) {
        // Not asked for a range: only the whole file in one piece will do.
        const auto range = parseContentRange(header("Content-Range"));
        if (!range || range->first != 0 || range->last != range->total - 1) {
            result.code = CURLE_WEIRD_SERVER_REPLY;
            result.message =
                curlErrorText(CURLE_WEIRD_SERVER_REPLY, "partial content that was not asked for");
            abortedOnPurpose = true;
            return false;
        }
        result.total = range->total;
    } else {
        bool ok = false;
        const qint64 length = header("Content-Length").trimmed().toLongLong(&ok);
        result.total = ok && length >= 0 && header("Transfer-Encoding").isEmpty() ? length : -1;
    }
    // Any other 2xx answers the whole file: whatever was held is replaced from byte 0.
    if (setup.rangeFrom > 0 &&
        (::ftruncate(setup.fd, 0) != 0 || ::lseek(setup.fd, 0, SEEK_SET) != 0)) {
        writeErrno = errno;
        return false;
    }
    result.fileBytes = 0;
    result.validator = strongValidator(header("ETag"), header("Last-Modified"));
    result.rangesServed = header("Accept-Ranges").toLower().contains("bytes");
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
    if (c->setup.progress)
        c->setup.progress(c->result.fileBytes, c->result.total);
    return bytes;
}

int onTick(void *userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Context *>(userdata)->cancelled() ? 1 : 0;
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

TransferResult runTransfer(const TransferSetup &setup)
{
    TransferResult result;
    CurlEasy easy;
    CurlHeaderList headers;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Context c(setup, result);
    c.curl = easy.get();
    if (!easy) {
        result.code = CURLE_FAILED_INIT;
        result.message = curlErrorText(CURLE_FAILED_INIT);
        return result;
    }
    const QByteArray url = setup.url.toUtf8();
    const char *scheme = allowedScheme(setup.url);
    if (setup.rangeFrom > 0) {
        const QByteArray range = "Range: bytes=" + QByteArray::number(setup.rangeFrom) + '-';
        const QByteArray ifRange = "If-Range: " + setup.validator;
        if (!headers.append(range.constData()) || !headers.append(ifRange.constData())) {
            result.code = CURLE_OUT_OF_MEMORY;
            result.message = curlErrorText(CURLE_OUT_OF_MEMORY);
            return result;
        }
    }
    CURL *h = easy.get();
    // The first option libcurl refuses ends the attempt before anything is sent.
    CURLcode setCode = CURLE_OK;
    const char *failedOption = nullptr;
    const auto set = [&](CURLoption option, const char *name, auto value) {
        if (setCode == CURLE_OK && (setCode = curl_easy_setopt(h, option, value)) != CURLE_OK)
            failedOption = name;
    };
    set(CURLOPT_URL, "CURLOPT_URL", url.constData());
    set(CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", scheme);
    set(CURLOPT_REDIR_PROTOCOLS_STR, "CURLOPT_REDIR_PROTOCOLS_STR", scheme);
    set(CURLOPT_FOLLOWLOCATION, "CURLOPT_FOLLOWLOCATION", 1L);
    set(CURLOPT_MAXREDIRS, "CURLOPT_MAXREDIRS", kMaxRedirects);
    set(CURLOPT_USERAGENT, "CURLOPT_USERAGENT", kUserAgent);
    set(CURLOPT_HTTPHEADER, "CURLOPT_HTTPHEADER", headers.get());
    set(CURLOPT_HTTP_CONTENT_DECODING, "CURLOPT_HTTP_CONTENT_DECODING", 0L);
    set(CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER", 1L);
    set(CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST", 2L);
    const platform::CaStore &ca = platform::systemCaStore();
    if (!ca.file.isEmpty())
        set(CURLOPT_CAINFO, "CURLOPT_CAINFO", ca.file.constData());
    if (!ca.dir.isEmpty())
        set(CURLOPT_CAPATH, "CURLOPT_CAPATH", ca.dir.constData());
    set(CURLOPT_NOSIGNAL, "CURLOPT_NOSIGNAL", 1L);
    // A limited file is read in pieces no larger than one past the limit, so that no more than
    // that arrives once it is passed.
    long buffer = setup.receiveBufferBytes > 0 ? setup.receiveBufferBytes : kReceiveBufferSize;
    if (setup.maxBytes >= 0 && setup.maxBytes < buffer)
        buffer = qMax(long(setup.maxBytes) + 1, kMinReceiveBuffer);
    set(CURLOPT_BUFFERSIZE, "CURLOPT_BUFFERSIZE", buffer);
    set(CURLOPT_CONNECTTIMEOUT, "CURLOPT_CONNECTTIMEOUT", long(setup.lowSpeedTimeSeconds));
    set(CURLOPT_LOW_SPEED_LIMIT, "CURLOPT_LOW_SPEED_LIMIT", 1L);
    set(CURLOPT_LOW_SPEED_TIME, "CURLOPT_LOW_SPEED_TIME", long(setup.lowSpeedTimeSeconds));
    set(CURLOPT_TIMEOUT_MS, "CURLOPT_TIMEOUT_MS", long(qMax<qint64>(1, setup.timeoutMs)));
    set(CURLOPT_ERRORBUFFER, "CURLOPT_ERRORBUFFER", errorBuffer);
    set(CURLOPT_WRITEFUNCTION, "CURLOPT_WRITEFUNCTION", onBody);
    set(CURLOPT_WRITEDATA, "CURLOPT_WRITEDATA", static_cast<void *>(&c));
    set(CURLOPT_NOPROGRESS, "CURLOPT_NOPROGRESS", 0L);
    set(CURLOPT_XFERINFOFUNCTION, "CURLOPT_XFERINFOFUNCTION", onTick);
    set(CURLOPT_XFERINFODATA, "CURLOPT_XFERINFODATA", static_cast<void *>(&c));
    if (setCode != CURLE_OK) {
        const QByteArray detail = QByteArray("cannot set ") + failedOption;
        result.code = setCode;
        result.message = curlErrorText(setCode, detail.constData());
        return result;
    }

    const CURLcode code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.httpStatus);

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
        result.message = curlErrorText(code, errorBuffer);
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
