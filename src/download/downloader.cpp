#include "downloader.h"

#include "platform/uniquefd.h"

#include "connectivity.h"
#include "progressthrottle.h"
#include "resumestate.h"
#include "statekeeper.h"
#include "streamhasher.h"
#include "transfer.h"

#include "diag/itlog.h"
#include "platform/worker.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace download {

namespace {

const QString kCancelledMessage = QStringLiteral("Download cancelled.");
constexpr qint64 kHashChunk = 1 << 20;

void removeFile(const QString &path)
{
    if (!path.isEmpty())
        ::unlink(QFile::encodeName(path).constData());
}

bool isRegularFile(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Feeds the first size bytes of the file behind fd to hash; false when they cannot all be read.
bool hashHeldBytes(int fd, qint64 size, StreamHasher &hash)
{
    QByteArray buffer(kHashChunk, Qt::Uninitialized);
    for (qint64 at = 0; at < size;) {
        const ssize_t n = ::pread(fd, buffer.data(), size_t(qMin(kHashChunk, size - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        hash.update(buffer.constData(), n);
        at += n;
    }
    return true;
}

// Checks the held bytes against the digest their state recorded and leaves in hash the digest of
// the bytes to continue from. A file held whole gives back its last byte, to be asked for again:
// only a 206 from the server still proves the version.
QString verifyHeld(int fd, ResumeState &state, StreamHasher &hash)
{
    const qint64 keep = state.offset == state.total ? state.offset - 1 : state.offset;
    if (!hashHeldBytes(fd, keep, hash))
        return QStringLiteral("partial file cannot be read");
    StreamHasher whole;
    char last = 0;
    if (!whole.continueFrom(hash) || (keep < state.offset && ::pread(fd, &last, 1, keep) != 1))
        return QStringLiteral("partial file cannot be read");
    if (keep < state.offset)
        whole.update(&last, 1);
    if (whole.finish() != state.heldSha256)
        return QStringLiteral("held bytes changed since they were written");
    if (keep < state.offset && (::ftruncate(fd, keep) != 0 || ::lseek(fd, keep, SEEK_SET) != keep))
        return QStringLiteral("partial file cannot be shortened");
    state.offset = keep;
    state.heldSha256 = hash.peek();
    return {};
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

struct Downloader::Private
{
    QString url;
    QString destFile;
    std::optional<QByteArray> startResumeData;
    Options options;
    bool started = false;
    DownloadResult result; // written by the worker before the completion is posted

    std::atomic<bool> cancelled{false};
    std::atomic<bool> abandoned{false};
    std::mutex wakeMutex; // cancel() wakes a worker waiting for the network
    std::condition_variable wake;

    // Worker thread only.
    struct Attempt
    {
        platform::UniqueFd fd;
        QString partialPath;
        std::optional<ResumeState> held; // the bytes in the partial file may be continued
        std::unique_ptr<StreamHasher> heldHash;
        TransferResult result;
        bool requested = false;
        qint64 received = 0;                 // over every request of the attempt
        std::unique_ptr<StateKeeper> keeper; // while bytes arrive, when the state is kept
    };
    QDeadlineTimer deadline;
    bool sizeLogged = false;
    ProgressThrottle throttle;

    // Last: it joins the thread before anything above goes.
    platform::Worker worker;

    static void fail(Attempt &a, CURLcode code, const char *detail = nullptr)
    {
        a.result = TransferResult{};
        a.result.code = code;
        a.result.message = curlErrorText(code, detail);
    }
    void openPartialFile(Attempt &a);
    void waitForNetwork(Attempt &a);
    void transfer(Attempt &a, StreamHasher &hash,
                  const std::function<void(qint64, qint64)> &progress);
    bool landFile(const Attempt &a);
    std::optional<ResumeState> resumeStateAfter(const Attempt &a, StreamHasher &hash) const;
    void checkpoint(Attempt &a, const TransferResult &sofar, StreamHasher &hash);
    void keepState(const std::optional<ResumeState> &state);
};

Downloader::Downloader(const QString &url, const QString &destFile,
                       std::optional<QByteArray> resumeData)
    : d(std::make_unique<Private>())
{
    d->url = url;
    d->destFile = destFile;
    d->startResumeData = std::move(resumeData);
}

// The attempt has its thread joined here: cancelled first, so that the wait is short.
Downloader::~Downloader()
{
    cancel();
    d->worker.join();
}

std::unique_ptr<Downloader> Downloader::create(const QString &url, const QString &destFile,
                                               std::optional<QByteArray> resumeData)
{
    return std::unique_ptr<Downloader>(new Downloader(url, destFile, std::move(resumeData)));
}

void Downloader::setOptions(const Options &options)
{
    if (!d->started)
        d->options = options;
}

void Downloader::start()
{
    if (d->started)
        return;
    d->started = true;
    if (d->startResumeData)
        ITLog("DL: RESUME %@ -> %@ (%lu bytes of state)", d->url, d->destFile,
              quint64(d->startResumeData->size()));
    else
        ITLog("DL: GET %@ -> %@", d->url, d->destFile);

    if (!d->worker.start([this] { run(); })) {
        DownloadResult r;
        r.errorCode = CURLE_FAILED_INIT;
        r.message = curlErrorText(CURLE_FAILED_INIT, "no thread for the download");
        ITLog("DL: error %ld %@ (resume state: %lu bytes)", r.errorCode, r.message, 0u);
        complete(std::move(r));
    }
}

void Downloader::abandon()
{
    d->abandoned = true;
    cancel();
}

void Downloader::cancel()
{
    {
        std::lock_guard lock(d->wakeMutex);
        d->cancelled = true;
    }
    d->wake.notify_all();
}

const DownloadResult &Downloader::result() const
{
    return d->result;
}
bool Downloader::isCancelled() const
{
    return d->cancelled;
}
QString Downloader::url() const
{
    return d->url;
}
QString Downloader::destFile() const
{
    return d->destFile;
}

void Downloader::complete(DownloadResult result)
{
    d->result = result;
    // A copy runs: the handler may drop this instance, and with it the handler itself.
    d->worker.post([this, result = std::move(result)] {
        if (const auto handler = onComplete)
            handler(result);
    });
}

// The partial file: the one the resume state names when it still fits, else a new one.
void Downloader::Private::openPartialFile(Attempt &a)
{
    if (startResumeData) {
        QString reason = QStringLiteral("unreadable resume state");
        if (auto state = ResumeState::decode(*startResumeData)) {
            a.fd = openPartialForResume(*state, url, destFile, options.anyHost, &reason);
            // The digest of the held bytes is taken once here; the transfer continues it.
            if (a.fd.isValid()) {
                a.heldHash = std::make_unique<StreamHasher>();
                reason = verifyHeld(a.fd.get(), *state, *a.heldHash);
                if (reason.isEmpty()) {
                    // Another host's validator means nothing here: its 206 has to do.
                    if (state->url != url) {
                        ITLog("DL: held bytes from %@ continued from %@", state->url, url);
                        state->validator.clear();
                    }
                    a.held = state;
                    a.partialPath = state->partialPath;
                } else {
                    a.fd.reset();
                    a.heldHash.reset();
                }
            }
        }
        if (!a.held)
            ITLog("DL: resume state not usable (%@), downloading from the start", reason);
    }
    if (options.sweepPartials)
        removeStalePartials(destFile, a.partialPath);
    if (!a.fd.isValid()) {
        a.fd = createPartialFile(destFile, &a.partialPath);
        if (!a.fd.isValid())
            fail(a, CURLE_WRITE_ERROR, qt_error_string(errno).toUtf8().constData());
    }
}

// Hands the state of the bytes in the file to the keeper, when it wants one.
void Downloader::Private::checkpoint(Attempt &a, const TransferResult &sofar, StreamHasher &hash)
{
    if (!a.keeper || !a.keeper->wantsState())
        return;
    Attempt view;
    view.partialPath = a.partialPath;
    view.result = sofar;
    if (const auto state = resumeStateAfter(view, hash))
        a.keeper->offer(state->encode());
}

// The state a later run continues from, or none: then nothing of this download is kept.
void Downloader::Private::keepState(const std::optional<ResumeState> &state)
{
    if (options.stateFile.isEmpty() || abandoned)
        return;
    if (!state || !writeStateFile(options.stateFile, state->encode()))
        removeFile(options.stateFile);
}

// Waits, bounded by the overall limit, while no route leaves the machine (see connectivity.h).
void Downloader::Private::waitForNetwork(Attempt &a)
{
    const auto networkAvailable =
        options.networkAvailable ? options.networkAvailable : connectivity::hasNetworkRoute;
    if (connectivity::isLoopbackHost(QUrl(url).host()) || networkAvailable())
        return;
    ITLog("DL: waiting for connectivity...");
    std::unique_lock lock(wakeMutex);
    for (;;) {
        QDeadlineTimer nextLook(options.connectivityPollMs);
        if (deadline.deadline() < nextLook.deadline())
            nextLook = deadline;
        wake.wait_for(lock, std::chrono::milliseconds(nextLook.remainingTime()),
                      [this] { return cancelled.load(); });
        if (cancelled)
            return;
        lock.unlock();
        const bool available = networkAvailable();
        lock.lock();
        if (available)
            return;
        if (deadline.hasExpired())
            return fail(a, CURLE_OPERATION_TIMEDOUT, "no network connection");
    }
}

void Downloader::Private::transfer(Attempt &a, StreamHasher &hash,
                                   const std::function<void(qint64, qint64)> &progress)
{
    TransferSetup setup;
    setup.url = url;
    setup.fd = a.fd.get();
    if (a.held) {
        setup.rangeFrom = a.held->offset;
        setup.validator = a.held->validator;
        setup.expectedTotal = a.held->total;
        setup.heldHash = a.heldHash.get();
    }
    setup.lowSpeedTimeSeconds = options.lowSpeedTimeSeconds;
    setup.lowSpeedLimit = options.lowSpeedLimit;
    setup.receiveBufferBytes = options.receiveBufferBytes;
    setup.cancelled = &cancelled;
    setup.hash = &hash;
    setup.spaceFolder = QFileInfo(destFile).absolutePath();
    setup.maxBytes = options.maxBytes;
    setup.progress = progress;
    setup.resumed = [](qint64 offset, qint64 total) {
        ITLog("DL: resumed at offset %lld / %lld", offset, total);
    };
    if (!options.stateFile.isEmpty() && !abandoned)
        a.keeper = std::make_unique<StateKeeper>(options.stateFile, a.fd.get(),
                                                 std::chrono::milliseconds(options.checkpointMs));
    setup.written = [this, &a, &hash](const TransferResult &sofar) { checkpoint(a, sofar, hash); };
    while (!cancelled) {
        setup.timeoutMs = deadline.remainingTime();
        if (setup.timeoutMs <= 0)
            return fail(a, CURLE_OPERATION_TIMEDOUT);
        a.requested = true;
        a.result = runTransfer(setup);
        a.received += a.result.received;
        if (!a.result.restart || cancelled)
            return;
        // Two versions of the file are never spliced: the held bytes go, the file starts over.
        ITLog("DL: cannot resume (%@), downloading from the start", a.result.restartReason);
        a.held.reset();
        setup.rangeFrom = 0;
        setup.validator.clear();
        setup.expectedTotal = 0;
        setup.heldHash = nullptr;
        if (::ftruncate(a.fd.get(), 0) != 0 || ::lseek(a.fd.get(), 0, SEEK_SET) != 0)
            return fail(a, CURLE_WRITE_ERROR, qt_error_string(errno).toUtf8().constData());
    }
}

// A finished transfer: a 2xx body takes the place of whatever is at destFile. Returns whether
// the file was moved there.
bool Downloader::Private::landFile(const Attempt &a)
{
    const long status = a.result.httpStatus;
    ITLog("DL: HTTP %ld, moving to %@", status, destFile);
    bool moved = false;
    if (status >= 200 && status <= 299) {
        removeFile(destFile);
        moved = ::rename(QFile::encodeName(a.partialPath).constData(),
                         QFile::encodeName(destFile).constData()) == 0;
        if (!moved)
            ITLog("DL: move FAILED: %@", qt_error_string(errno));
    }
    if (options.afterFileLanded)
        options.afterFileLanded();
    return moved;
}

// Bytes of a file the server identifies strongly and serves in ranges can be continued (a whole
// one too: a later run asks for its last byte again); an attempt that received no body at all
// hands on the state it was given.
std::optional<ResumeState> Downloader::Private::resumeStateAfter(const Attempt &a,
                                                                 StreamHasher &hash) const
{
    const TransferResult &r = a.result;
    if (r.bodyWritten && r.code != CURLE_WRITE_ERROR && r.fileBytes > 0 && r.total >= r.fileBytes &&
        !r.validator.isEmpty() && r.rangesServed)
        return ResumeState{url,         a.partialPath, r.fileBytes, r.total,
                           r.validator, hash.peek(),   nowMs()};
    if (!r.bodyWritten && a.held)
        return a.held;
    return std::nullopt;
}

void Downloader::deliverProgress(qint64 written, qint64 total)
{
    if (d->cancelled)
        return;
    if (total > 0 && !d->sizeLogged) {
        d->sizeLogged = true;
        ITLog("DL: content length %lld bytes", total);
    }
    if (!d->throttle.shouldDeliver(written, total, monotonicSeconds()))
        return;
    d->worker.post([this, written, total] {
        // Nothing reaches the caller once it has cancelled.
        if (const auto handler = d->cancelled ? nullptr : onProgress)
            handler(written, total);
    });
}

void Downloader::run()
{
    Private &p = *d;
    p.deadline = QDeadlineTimer(std::chrono::seconds(p.options.totalTimeoutSeconds));
    Private::Attempt a;
    StreamHasher hash;
    p.openPartialFile(a);
    if (a.result.code == CURLE_OK)
        p.waitForNetwork(a);
    if (a.result.code == CURLE_OK)
        p.transfer(a, hash, [&](qint64 written, qint64 total) { deliverProgress(written, total); });

    const TransferResult &r = a.result;
    DownloadResult result;
    result.url = p.url;
    result.httpStatus = r.httpStatus;
    result.received = a.received;
    result.continuedFrom = r.bodyWritten ? r.continuedFrom : -1;
    const bool keeping = !p.options.stateFile.isEmpty();
    if (a.keeper)
        a.keeper->stop(); // from here on the state is written here, and last
    // The bytes a state describes are on disk before the state is.
    if (keeping && a.fd.isValid())
        ::fdatasync(a.fd.get());
    Private::Attempt stopped; // a cancel stops the body between two pieces: those held are whole
    stopped.partialPath = a.partialPath;
    stopped.held = a.held;
    stopped.result = r;
    stopped.result.code = p.cancelled ? CURLE_ABORTED_BY_CALLBACK : r.code;
    const std::optional<ResumeState> state = p.resumeStateAfter(stopped, hash);
    // An abandoned attempt never touches destFile: the one that replaced it may have landed there.
    const bool landing = a.requested && r.code == CURLE_OK && !r.restart && !r.noSpace &&
                         r.tooLargeAt < 0 && !p.abandoned;
    // A whole file stays for a later run until it is installed: described before it lands.
    if (keeping && landing && state && !p.cancelled)
        p.keepState(state);
    a.fd.reset();
    const bool moved = landing && p.landFile(a);

    std::optional<ResumeState> later; // what the next attempt, in this run or a later one, takes
    if (p.cancelled) {
        if (keeping && !moved && !p.abandoned)
            later = state;
        ITLog(p.abandoned ? "DL: left for another host, partial file deleted"
              : later     ? "DL: cancelled by user, partial file kept for a later run"
                          : "DL: cancelled by user, partial file deleted");
        if (!p.abandoned)
            removeFile(p.destFile);
        result.status = DownloadResult::Status::Cancelled;
        result.message = kCancelledMessage;
    } else if (r.noSpace) {
        // Nothing of the body was written; the caller says where space is short.
        result.status = DownloadResult::Status::NoSpace;
        result.message = QStringLiteral("Not enough disk space.");
        result.spaceFolder = QFileInfo(p.destFile).absolutePath();
        result.bytesNeeded = r.bytesNeeded;
        result.bytesAvailable = r.bytesAvailable;
    } else if (r.tooLargeAt >= 0) {
        // Never resumed: the rest would be just as unwanted.
        ITLog("DL: file larger than the %lld bytes allowed, stopped at %lld", p.options.maxBytes,
              r.tooLargeAt);
        removeFile(p.destFile);
        result.status = DownloadResult::Status::TooLarge;
        result.message = QStringLiteral("Downloaded file is larger than expected.");
        result.size = r.tooLargeAt;
    } else if (r.code != CURLE_OK) {
        result.errorCode = r.code;
        result.transport =
            classifyTransportFailure(r.code, r.sslVerifyResult, r.proxyStatus, !r.proxy.isEmpty());
        later = state;
        ITLog("DL: error %ld %@ (resume state: %lu bytes)", qint64(r.code), r.message,
              quint64(later ? later->encode().size() : 0));
        removeFile(p.destFile);
        result.message = r.message;
    } else if (r.httpStatus >= 200 && r.httpStatus <= 299) {
        if (moved && isRegularFile(p.destFile)) {
            ITLog("DL: download complete");
            result.status = DownloadResult::Status::Saved;
            result.message = QStringLiteral(""); // never a null string, even on success
            result.sha256 = hash.finish();
            result.size = r.fileBytes;
            if (keeping && state)
                return complete(std::move(result)); // its state was kept before it landed
        } else {
            result.message = QStringLiteral("Downloaded file could not be saved.");
        }
    } else {
        ITLog("DL: HTTP %ld, treated as failure", r.httpStatus);
        // An error page is no part of the file: bytes held from before are still good.
        later = state;
        removeFile(p.destFile);
        result.message = ITFormat("Server returned HTTP %ld", qint64(r.httpStatus));
    }
    if (!later)
        removeFile(a.partialPath);
    p.keepState(later);
    // A cancelled attempt hands nothing to a next one in this run; only a later run continues.
    if (later && !p.cancelled)
        result.resumeData = later->encode();
    complete(std::move(result));
}

} // namespace download
