#include "downloader.h"

#include "connectivity.h"
#include "progressthrottle.h"
#include "resumestate.h"
#include "transfer.h"

#include "diag/itlog.h"
#include "platform/workertracker.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Running attempts, so that an orderly exit can wait for a cancelled one to let go.
platform::WorkerTracker &workers()
{
    static auto *tracker = new platform::WorkerTracker;
    return *tracker;
}

using Clock = std::chrono::steady_clock;

const QString kCancelledMessage = QStringLiteral("Download cancelled.");

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
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

} // namespace

struct Downloader::Private
{
    QString url;
    QString destFile;
    std::optional<QByteArray> startResumeData;
    Options options;
    bool started = false;
    std::thread worker;

    std::atomic<bool> cancelled{false};
    std::atomic<qint64> httpStatus{0};
    std::atomic<qint64> errorCode{0};
    mutable std::mutex resumeMutex;
    std::optional<QByteArray> resumeData;

    // Worker thread only.
    struct Attempt
    {
        UniqueFd fd;
        QString partialPath;
        std::optional<ResumeState> held; // the bytes in the partial file may be continued
        TransferResult result;
        bool requested = false;
    };
    Clock::time_point deadline;
    bool sizeLogged = false;
    ProgressThrottle throttle;

    qint64 remainingMs() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
            .count();
    }
    static void fail(Attempt &a, CURLcode code, const char *detail = nullptr)
    {
        a.result = TransferResult{};
        a.result.code = code;
        a.result.message = curlErrorText(code, detail);
    }
    void openPartialFile(Attempt &a);
    void waitForNetwork(Attempt &a);
    void transfer(Attempt &a, const std::function<void(qint64, qint64)> &progress);
    bool landFile(const Attempt &a);
    std::optional<QByteArray> resumeStateAfter(const Attempt &a) const;
};

Downloader::Downloader(const QString &url, const QString &destFile,
                       std::optional<QByteArray> resumeData)
    : d(std::make_unique<Private>())
{
    d->url = url;
    d->destFile = destFile;
    d->startResumeData = std::move(resumeData);
}

Downloader::~Downloader()
{
    // The worker holds a reference while it runs, so the last one is dropped either by the
    // worker itself on its way out or by someone else after the worker has let go.
    if (d->worker.joinable()) {
        if (d->worker.get_id() == std::this_thread::get_id())
            d->worker.detach();
        else
            d->worker.join();
    }
}

bool Downloader::waitForWorkers(int timeoutMs)
{
    return workers().waitIdle(timeoutMs);
}

std::shared_ptr<Downloader> Downloader::create(const QString &url, const QString &destFile,
                                               std::optional<QByteArray> resumeData)
{
    return std::shared_ptr<Downloader>(new Downloader(url, destFile, std::move(resumeData)));
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
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    if (d->startResumeData)
        ITLog("DL: RESUME %@ -> %@ (%lu bytes of state)", d->url, d->destFile,
              quint64(d->startResumeData->size()));
    else
        ITLog("DL: GET %@ -> %@", d->url, d->destFile);

    auto self = shared_from_this();
    workers().started();
    try {
        d->worker = std::thread([self] {
            self->run(self);
            workers().finished();
        });
    } catch (const std::system_error &e) {
        workers().finished();
        d->errorCode = CURLE_FAILED_INIT;
        const QString message = curlErrorText(CURLE_FAILED_INIT, e.what());
        ITLog("DL: error %ld %@ (resume state: %lu bytes)", qint64(CURLE_FAILED_INIT), message, 0u);
        post(self, [self, message] {
            if (self->onComplete)
                self->onComplete(false, message);
        });
    }
}

void Downloader::cancel()
{
    d->cancelled = true;
}

qint64 Downloader::httpStatus() const
{
    return d->httpStatus;
}
qint64 Downloader::errorCode() const
{
    return d->errorCode;
}

std::optional<QByteArray> Downloader::resumeData() const
{
    std::lock_guard lock(d->resumeMutex);
    return d->resumeData;
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

void Downloader::post(const std::shared_ptr<Downloader> &self, std::function<void()> task)
{
    // The task holds the instance until it has run on the GUI thread.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [self, task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

// The partial file: the one the resume state names when it still fits, else a new one.
void Downloader::Private::openPartialFile(Attempt &a)
{
    if (startResumeData) {
        QString reason = QStringLiteral("unreadable resume state");
        if (auto state = ResumeState::decode(*startResumeData)) {
            a.fd = openPartialForResume(*state, url, destFile, &reason);
            if (a.fd.isValid()) {
                a.held = state;
                a.partialPath = state->partialPath;
            }
        }
        if (!a.held)
            ITLog("DL: resume state not usable (%@), downloading from the start", reason);
    }
    removeStalePartials(destFile, a.partialPath);
    if (!a.fd.isValid()) {
        a.fd = createPartialFile(destFile, &a.partialPath);
        if (!a.fd.isValid())
            fail(a, CURLE_WRITE_ERROR, qt_error_string(errno).toUtf8().constData());
    }
}

// Waits, bounded by the overall limit, while no route leaves the machine (see connectivity.h).
void Downloader::Private::waitForNetwork(Attempt &a)
{
    const auto networkAvailable =
        options.networkAvailable ? options.networkAvailable : connectivity::hasNetworkRoute;
    if (connectivity::isLoopbackHost(QUrl(url).host()) || networkAvailable())
        return;
    ITLog("DL: waiting for connectivity...");
    const auto poll = std::chrono::milliseconds(options.connectivityPollMs);
    for (;;) {
        const auto nextLook = Clock::now() + poll;
        while (!cancelled && remainingMs() > 0 && Clock::now() < nextLook)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (cancelled || networkAvailable())
            return;
        if (remainingMs() <= 0)
            return fail(a, CURLE_OPERATION_TIMEDOUT, "no network connection");
    }
}

void Downloader::Private::transfer(Attempt &a, const std::function<void(qint64, qint64)> &progress)
{
    TransferSetup setup;
    setup.url = url;
    setup.fd = a.fd.get();
    if (a.held) {
        setup.rangeFrom = a.held->offset;
        setup.validator = a.held->validator;
        setup.expectedTotal = a.held->total;
    }
    setup.lowSpeedTimeSeconds = options.lowSpeedTimeSeconds;
    setup.receiveBufferBytes = options.receiveBufferBytes;
    setup.cancelled = &cancelled;
    setup.progress = progress;
    setup.resumed = [](qint64 offset, qint64 total) {
        ITLog("DL: resumed at offset %lld / %lld", offset, total);
    };
    while (!cancelled) {
        setup.timeoutMs = remainingMs();
        if (setup.timeoutMs <= 0)
            return fail(a, CURLE_OPERATION_TIMEDOUT);
        a.requested = true;
        a.result = runTransfer(setup);
        if (!a.result.restart || cancelled)
            return;
        // Two versions of the file are never spliced: the held bytes go, the file starts over.
        ITLog("DL: cannot resume (%@), downloading from the start", a.result.restartReason);
        a.held.reset();
        setup.rangeFrom = 0;
        setup.validator.clear();
        setup.expectedTotal = 0;
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

// Bytes of a file the server identifies strongly and serves in ranges can be continued; an
// attempt that received no body at all hands on the state it was given.
std::optional<QByteArray> Downloader::Private::resumeStateAfter(const Attempt &a) const
{
    const TransferResult &r = a.result;
    if (r.bodyWritten && r.code != CURLE_WRITE_ERROR && r.fileBytes > 0 && r.total > r.fileBytes &&
        !r.validator.isEmpty() && r.rangesServed)
        return ResumeState{url, a.partialPath, r.fileBytes, r.total, r.validator}.encode();
    if (!r.bodyWritten && a.held)
        return a.held->encode();
    return std::nullopt;
}

void Downloader::deliverProgress(const std::shared_ptr<Downloader> &self, qint64 written,
                                 qint64 total)
{
    if (d->cancelled)
        return;
    if (total > 0 && !d->sizeLogged) {
        d->sizeLogged = true;
        ITLog("DL: content length %lld bytes", total);
    }
    if (!d->throttle.shouldDeliver(written, total, monotonicSeconds()))
        return;
    post(self, [self, written, total] {
        // Nothing reaches the caller once it has cancelled.
        if (!self->d->cancelled && self->onProgress)
            self->onProgress(written, total);
    });
}

void Downloader::run(const std::shared_ptr<Downloader> &self)
{
    Private &p = *d;
    p.deadline = Clock::now() + std::chrono::seconds(p.options.totalTimeoutSeconds);
    Private::Attempt a;
    p.openPartialFile(a);
    if (a.result.code == CURLE_OK)
        p.waitForNetwork(a);
    if (a.result.code == CURLE_OK)
        p.transfer(a, [&](qint64 written, qint64 total) { deliverProgress(self, written, total); });
    a.fd.reset();

    const TransferResult &r = a.result;
    const long status = r.httpStatus;
    p.httpStatus = status;
    const bool moved = a.requested && r.code == CURLE_OK && !r.restart && p.landFile(a);

    bool ok = false;
    QString message = QStringLiteral(""); // never a null string, even on success
    std::optional<QByteArray> resume;
    if (p.cancelled) {
        ITLog("DL: cancelled by user, partial file deleted");
        removeFile(p.destFile);
        message = kCancelledMessage;
    } else if (r.code != CURLE_OK) {
        p.errorCode = r.code;
        resume = p.resumeStateAfter(a);
        ITLog("DL: error %ld %@ (resume state: %lu bytes)", qint64(r.code), r.message,
              quint64(resume ? resume->size() : 0));
        removeFile(p.destFile);
        message = r.message;
    } else if (status >= 200 && status <= 299) {
        if (moved && isRegularFile(p.destFile)) {
            ITLog("DL: download complete");
            ok = true;
        } else {
            message = QStringLiteral("Downloaded file could not be saved.");
        }
    } else {
        ITLog("DL: HTTP %ld, treated as failure", status);
        removeFile(p.destFile);
        message = ITFormat("Server returned HTTP %ld", status);
    }
    if (!resume)
        removeFile(a.partialPath);
    {
        std::lock_guard lock(p.resumeMutex);
        p.resumeData = std::move(resume);
    }
    post(self, [self, ok, message] {
        if (self->onComplete)
            self->onComplete(ok, message);
    });
}
