#include "downloader.h"

#include "connectivity.h"
#include "progressthrottle.h"
#include "resumestate.h"
#include "transfer.h"

#include "diag/itlog.h"

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

using Clock = std::chrono::steady_clock;

const QString kCancelledMessage = QStringLiteral("Download cancelled.");

void removeFile(const QString &path)
{
    if (!path.isEmpty())
        ::unlink(QFile::encodeName(path).constData());
}

bool isRegularFile(const QString &path)
{
    struct stat st {};
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
    bool sizeLogged = false;
    ProgressThrottle throttle;
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
    try {
        d->worker = std::thread([self] { self->run(self); });
    } catch (const std::system_error &e) {
        d->errorCode = CURLE_FAILED_INIT;
        const QString message = curlErrorText(CURLE_FAILED_INIT, e.what());
        ITLog("DL: error %ld %@ (resume state: %lu bytes)", qint64(CURLE_FAILED_INIT), message, 0u);
        post(self, [self, message] {
            if (self->onComplete)
                self->onComplete(false, message);
        });
    }
}

void Downloader::cancel() { d->cancelled = true; }

qint64 Downloader::httpStatus() const { return d->httpStatus; }
qint64 Downloader::errorCode() const { return d->errorCode; }

std::optional<QByteArray> Downloader::resumeData() const
{
    std::lock_guard lock(d->resumeMutex);
    return d->resumeData;
}

bool Downloader::isCancelled() const { return d->cancelled; }
QString Downloader::url() const { return d->url; }
QString Downloader::destFile() const { return d->destFile; }

void Downloader::post(const std::shared_ptr<Downloader> &self, std::function<void()> task)
{
    // The task holds the instance until it has run on the GUI thread.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [self, task = std::move(task)] { task(); },
                                  Qt::QueuedConnection);
}

void Downloader::run(const std::shared_ptr<Downloader> &self)
{
    Private &p = *d;
    const auto deadline = Clock::now() + std::chrono::seconds(p.options.totalTimeoutSeconds);
    const auto remainingMs = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
            .count();
    };

    // The partial file: the one the resume state names when it still fits, else a new one.
    UniqueFd fd;
    QString partialPath;
    std::optional<ResumeState> held;
    if (p.startResumeData) {
        QString reason = QStringLiteral("unreadable resume state");
        if (auto state = ResumeState::decode(*p.startResumeData)) {
            fd = openPartialForResume(*state, p.url, p.destFile, &reason);
            if (fd.isValid()) {
                held = state;
                partialPath = state->partialPath;
            }
        }
        if (!held)
            ITLog("DL: resume state not usable (%@), downloading from the start", reason);
    }
    removeStalePartials(p.destFile, partialPath);

    TransferResult r;
    bool requested = false;
    if (!fd.isValid()) {
        fd = createPartialFile(p.destFile, &partialPath);
        if (!fd.isValid()) {
            r.code = CURLE_WRITE_ERROR;
            r.message = curlErrorText(CURLE_WRITE_ERROR, qt_error_string(errno).toUtf8());
        }
    }

    const auto networkAvailable = p.options.networkAvailable ? p.options.networkAvailable
                                                             : connectivity::hasNetworkRoute;
    if (r.code == CURLE_OK && !connectivity::isLoopbackHost(QUrl(p.url).host()) &&
        !networkAvailable()) {
        ITLog("DL: waiting for connectivity...");
        for (;;) {
            const auto nextLook = Clock::now() + std::chrono::milliseconds(p.options.connectivityPollMs);
            while (!p.cancelled && remainingMs() > 0 && Clock::now() < nextLook)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (p.cancelled || networkAvailable())
                break;
            if (remainingMs() <= 0) {
                r.code = CURLE_OPERATION_TIMEDOUT;
                r.message = curlErrorText(CURLE_OPERATION_TIMEDOUT, "no network connection");
                break;
            }
        }
    }

    TransferSetup setup;
    setup.url = p.url;
    setup.fd = fd.get();
    if (held) {
        setup.rangeFrom = held->offset;
        setup.validator = held->validator;
        setup.expectedTotal = held->total;
    }
    setup.lowSpeedTimeSeconds = p.options.lowSpeedTimeSeconds;
    setup.receiveBufferBytes = p.options.receiveBufferBytes;
    setup.cancelled = &p.cancelled;
    setup.resumed = [](qint64 offset, qint64 total) {
        ITLog("DL: resumed at offset %lld / %lld", offset, total);
    };
    setup.progress = [this, &self, &p](qint64 written, qint64 total) {
        if (p.cancelled)
            return;
        if (total > 0 && !p.sizeLogged) {
            p.sizeLogged = true;
            ITLog("DL: content length %lld bytes", total);
        }
        if (!p.throttle.shouldDeliver(written, total, monotonicSeconds()))
            return;
        post(self, [self, written, total] {
            // Nothing reaches the caller once it has cancelled.
            if (!self->d->cancelled && self->onProgress)
                self->onProgress(written, total);
        });
    };

    while (r.code == CURLE_OK && !p.cancelled) {
        setup.timeoutMs = remainingMs();
        if (setup.timeoutMs <= 0) {
            r.code = CURLE_OPERATION_TIMEDOUT;
            r.message = curlErrorText(CURLE_OPERATION_TIMEDOUT);
            break;
        }
        requested = true;
        r = runTransfer(setup);
        if (!r.restart || p.cancelled)
            break;
        // Two versions of the file are never spliced: the held bytes go, the file starts over.
        ITLog("DL: cannot resume (%@), downloading from the start", r.restartReason);
        held.reset();
        setup.rangeFrom = 0;
        setup.validator.clear();
        setup.expectedTotal = 0;
        if (::ftruncate(fd.get(), 0) != 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
            r = TransferResult{};
            r.code = CURLE_WRITE_ERROR;
            r.message = curlErrorText(CURLE_WRITE_ERROR, qt_error_string(errno).toUtf8());
        }
    }
    fd.reset();

    const qint64 status = r.httpStatus;
    p.httpStatus = status;
    const bool success = status >= 200 && status <= 299;
    bool moved = false;
    if (requested && r.code == CURLE_OK && !r.restart) {
        ITLog("DL: HTTP %ld, moving to %@", status, p.destFile);
        if (success) {
            removeFile(p.destFile);
            moved = ::rename(QFile::encodeName(partialPath).constData(),
                             QFile::encodeName(p.destFile).constData()) == 0;
            if (!moved)
                ITLog("DL: move FAILED: %@", qt_error_string(errno));
        }
        if (p.options.afterFileLanded)
            p.options.afterFileLanded();
    }

    bool ok = false;
    QString message = QStringLiteral(""); // never a null string, even on success
    std::optional<QByteArray> resume;
    if (p.cancelled) {
        ITLog("DL: cancelled by user, partial file deleted");
        removeFile(p.destFile);
        message = kCancelledMessage;
    } else if (r.code != CURLE_OK) {
        p.errorCode = r.code;
        // Bytes of a file the server identifies strongly and serves in ranges can be continued;
        // an attempt that got no body at all hands on what it was given.
        if (r.bodyWritten && r.code != CURLE_WRITE_ERROR && r.fileBytes > 0 &&
            r.total > r.fileBytes && !r.validator.isEmpty() && r.rangesServed) {
            resume = ResumeState{p.url, partialPath, r.fileBytes, r.total, r.validator}.encode();
        } else if (!r.bodyWritten && held) {
            resume = held->encode();
        }
        ITLog("DL: error %ld %@ (resume state: %lu bytes)", qint64(r.code), r.message,
              quint64(resume ? resume->size() : 0));
        removeFile(p.destFile);
        message = r.message;
    } else if (success) {
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
        removeFile(partialPath);
    {
        std::lock_guard lock(p.resumeMutex);
        p.resumeData = std::move(resume);
    }
    post(self, [self, ok, message] {
        if (self->onComplete)
            self->onComplete(ok, message);
    });
}
