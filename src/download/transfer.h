#pragma once

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

#include <atomic>
#include <functional>

namespace download {

class StreamHasher;

// One HTTP request of a download attempt, run with libcurl on the calling (worker) thread,
// writing the body into an open partial file. It decides, from the response headers, whether
// the body continues the bytes already held, replaces them, or must not be used at all. It goes
// out as its proxy decision says, trying the next route while a proxy cannot carry it.
struct TransferResult;

// Every member has an initializer, so that a setup names only what it sets.
struct TransferSetup
{
    QString url{};
    int fd = -1;              // partial file, positioned at rangeFrom
    qint64 rangeFrom = 0;     // > 0: ask for the rest with Range and If-Range
    QByteArray validator{};   // If-Range value, when rangeFrom > 0; empty: bytes from another host
    qint64 expectedTotal = 0; // size of the whole file the held bytes belong to
    int lowSpeedTimeSeconds = 30;
    long lowSpeedLimit = 1;      // bytes/s the transfer must keep up over lowSpeedTimeSeconds
    qint64 timeoutMs = 0;        // what is left of the attempt's overall limit
    long receiveBufferBytes = 0; // 0: kReceiveBufferSize
    const std::atomic<bool> *cancelled = nullptr;
    StreamHasher *hash = nullptr;     // takes every byte of the file as it is written
    StreamHasher *heldHash = nullptr; // the digest of the held bytes, for a continuation
    QString spaceFolder{};            // where the file goes: its free space is checked
    qint64 maxBytes = -1;             // the file may not grow past this (-1: no limit)
    // Worker thread, after every piece of body written: bytes in the file, whole size or -1.
    std::function<void(qint64 written, qint64 total)> progress{};
    // Worker thread, after every piece of the file written and hashed, and now and then while
    // none arrives: what is known so far.
    std::function<void(const TransferResult &sofar)> written{};
    // Worker thread, when a 206 has been accepted as the continuation of the held bytes.
    std::function<void(qint64 offset, qint64 total)> resumed{};
};

struct TransferResult
{
    CURLcode code = CURLE_OK; // transport outcome; CURLE_OK also for HTTP failures
    QString message;          // description of a transport error
    long sslVerifyResult = 0; // the certificate check's X509_V_* result
    long httpStatus = 0;      // final response, 0 when none
    QString proxy;            // the proxy of the last route tried, no credentials; empty: direct
    long proxyStatus = 0;     // the proxy's own answer (to CONNECT, or a 407), 0 when none
    bool restart = false;     // the held bytes cannot be continued: ask again from byte 0
    QString restartReason;
    bool bodyWritten = false;  // a 2xx body went into the file (from 0, or after the held bytes)
    qint64 continuedFrom = -1; // with bodyWritten: the held bytes it was appended to (0: none)
    qint64 received = 0;       // body bytes that came over the network, used or not
    qint64 fileBytes = 0;      // bytes now in the file
    qint64 total = -1;         // whole size, when known
    QByteArray validator;      // strong ETag, else Last-Modified; empty when none or weak
    bool rangesServed = false; // the server says it serves byte ranges of this file
    // The file would be larger than maxBytes: the announced length, else the bytes it would
    // have had with the piece just received, which is not written; -1 when within the limit.
    qint64 tooLargeAt = -1;
    // The body would not fit: stopped before writing any of it.
    bool noSpace = false;
    qint64 bytesNeeded = 0;
    qint64 bytesAvailable = 0;
};

// Receive buffer. CPU time for 1 GiB from nginx on loopback, written to disk: 16 KiB (libcurl's
// default) 1.25 s, 100 KiB 1.07 s, 256 KiB 0.97 s, 512 KiB 0.96 s, 1 MiB 1.0 s; curl 1.11 s.
constexpr long kReceiveBufferSize = 256 * 1024;

TransferResult runTransfer(const TransferSetup &setup);

// Description of a libcurl failure: its text, with the error buffer's detail when it adds any.
QString curlErrorText(CURLcode code, const char *detail = nullptr);

} // namespace download
