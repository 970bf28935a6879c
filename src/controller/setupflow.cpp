#include "setupflow.h"

#include "config.h"
#include "diag/analytics.h"
#include "diag/itformat.h"
#include "diag/itlog.h"
#include "download/resumestate.h"
#include "l10n/localization.h"
#include "platform/activityhold.h"
#include "platform/cpu.h"
#include "platform/launcher.h"
#include "platform/leftovers.h"
#include "platform/paths.h"
#include "platform/worker.h"

#include <QFile>
#include <QPointer>
#include <QUrl>

#include <cmath>

namespace {

const QString kAppName = QStringLiteral("Quillmarsh.app");
const QString kProductName = QStringLiteral("Quillmarsh");
const QString kImageName = QStringLiteral("/quillmarsh_setup.dmg");
const QString kSignatureSuffix = QStringLiteral(".sig");

constexpr qint64 kMaxRetries = 3;
constexpr double kDownloadShare = 90.0; // the download fills the bar up to 90 %
constexpr int kInstallStart = 900;
constexpr int kCreepCeiling = 990;
constexpr int kCreepStep = 2;
constexpr double kCreepInterval = 0.5;
constexpr qint64 kMegabyte = 1000 * 1000;
// A cancelled download lets go of its partial file quickly; an install may still be detaching.
constexpr int kCancelWaitMs = 3000;
constexpr int kDetachWaitMs = 10000;

// Client errors are final, except the two that ask the client to come back later.
bool isFinalFailure(qint64 httpStatus)
{
    return httpStatus >= 400 && httpStatus <= 499 && httpStatus != 408 && httpStatus != 429;
}

QString failureCode(const DownloadResult &result)
{
    if (result.errorCode != 0)
        return ITFormat("download_error_%ld", result.errorCode);
    return ITFormat("download_error_http_%ld", result.httpStatus);
}

bool isSpaceOrTab(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

} // namespace

SetupFlow::SetupFlow(QObject *parent) : QObject(parent)
{
    // Coarse timers may fire 5 % early, which would make a wait logged as 1000 ms shorter.
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &SetupFlow::retryTimerTick);
    m_creepTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_creepTimer, &QTimer::timeout, this, &SetupFlow::creepInstall);
}

SetupFlow::~SetupFlow() = default;

int SetupFlow::scaledMs(double seconds) const
{
    return static_cast<int>(std::lround(seconds * 1000.0 * m_options.timeScale));
}

const UIStrings &SetupFlow::L() const
{
    return Localization::all().at(m_langIndex);
}

QString SetupFlow::installerURL() const
{
    const QString base = m_options.downloadBaseURL.isEmpty()
                             ? QStringLiteral(QUILLMARSH_DOWNLOAD_BASE_URL)
                             : m_options.downloadBaseURL;
    return base + (platform::isArm64() ? QStringLiteral("/quillmarsh.silicon.dmg")
                                       : QStringLiteral("/quillmarsh.dmg"));
}

QString SetupFlow::trimmedLocation(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpaceOrTab(text.at(begin)))
        ++begin;
    while (end > begin && isSpaceOrTab(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

void SetupFlow::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

// An indeterminate bar stays so until a stage sets the mode again (determinate).
void SetupFlow::setProgress(int value, bool determinate)
{
    if (!determinate && m_progress == kIndeterminate)
        return;
    m_progress = value;
    emit progressChanged(value);
}

void SetupFlow::setInstallStatus(const QString &status, const QString &pct)
{
    m_status = pct.isEmpty() ? status : ITFormat("%@  %@", status, pct);
    emit statusChanged(m_status);
}

void SetupFlow::beginActivityHold()
{
    if (m_activityHold || !m_options.keepAwake)
        return;
    m_activityHold = std::make_unique<ActivityHold>(QStringLiteral("Downloading and installing"));
    if (!m_activityHold->isHeld())
        ITLog("FLOW: no sleep inhibitor, going on without (%@)", m_activityHold->error());
}

void SetupFlow::endActivityHold()
{
    m_activityHold.reset();
}

// --- Download stage ----------------------------------------------------------------------------

void SetupFlow::install(const QString &folder)
{
    if (m_state != State::Idle && m_state != State::Failed)
        return;
    ITLog("FLOW: Install clicked, dir=\"%@\"", folder);
    ITTrackEvent(QStringLiteral("install_start"));
    m_folder = trimmedLocation(folder);
    m_retryCount = 0;
    m_pendingResumeData.reset();
    m_signature.reset();
    m_fetchingSignature = !m_options.imagePublicKey.isEmpty();
    static bool checkOffLogged = false;
    if (!m_fetchingSignature && !checkOffLogged) {
        checkOffLogged = true;
        ITLog("FLOW: image signature check off (no public key built in)");
    }

    // The image is only ever written into the private folder; without one there is no download.
    const QString dir = privateFolder();
    if (dir.isEmpty()) {
        ITLog("FLOW: no private folder for the download, not starting");
        ITTrackEvent(QStringLiteral("install_failed"), QStringLiteral("no_private_folder"));
        fail(L().noPrivateFolder, QMessageBox::NoIcon, true);
        return;
    }
    m_destFile = dir + kImageName;
    discardResumeData();
    beginActivityHold();
    emit started();
    launchDownload();
}

void SetupFlow::launchDownload()
{
    setState(State::Downloading);
    setProgress(0, true);
    setInstallStatus(L().installingWait);
    QString url = installerURL();
    QString destFile = m_destFile;
    if (m_fetchingSignature) {
        url += kSignatureSuffix;
        destFile += kSignatureSuffix;
        ITLog("FLOW: image signature URL -> %@", url);
    } else {
        ITLog("FLOW: architecture URL -> %@", url);
    }

    // The resume state serves exactly one attempt.
    std::optional<QByteArray> resume = std::move(m_pendingResumeData);
    m_pendingResumeData.reset();
    QPointer<SetupFlow> self(this);
    m_downloader = Downloader::create(url, destFile, std::move(resume));
    // Neither file may grow past what it can be: a hostile server could otherwise fill the disk.
    Downloader::Options limit;
    if (m_fetchingSignature)
        limit.maxBytes = kMaxImageSignatureBytes;
    else if (m_signature)
        limit.maxBytes = m_signature->size;
    if (m_options.downloaderSetup)
        m_options.downloaderSetup(limit);
    m_downloader->setOptions(limit);
    const Downloader *attempt = m_downloader.get(); // identity only, never dereferenced
    // The .sig is tiny: the bar waits for the image's bytes.
    m_downloader->onProgress = [self, attempt](qint64 written, qint64 total) {
        if (self && self->m_downloader.get() == attempt && !self->m_fetchingSignature)
            self->downloadProgress(written, total);
    };
    m_downloader->onComplete = [self, attempt](const DownloadResult &result) {
        // Only the attempt in hand counts; a late report of an abandoned one is dropped.
        if (self && self->m_downloader.get() == attempt)
            self->downloadComplete(result);
    };
    // Held here too: a completion from within start() lets go of m_downloader.
    const std::shared_ptr<Downloader> downloader = m_downloader;
    downloader->start();
}

void SetupFlow::retryTimerTick()
{
    if (m_state == State::WaitingToRetry)
        launchDownload();
}

void SetupFlow::downloadProgress(qint64 written, qint64 total)
{
    if (total < 1) {
        setProgress(kIndeterminate, true);
        setInstallStatus(L().installingWait);
        return;
    }
    const auto pct = static_cast<qint64>(static_cast<double>(written) / static_cast<double>(total) *
                                         kDownloadShare);
    setProgress(static_cast<int>(pct * 10), false);
    setInstallStatus(L().installingWait, ITFormat("%ld%%", pct));
}

void SetupFlow::downloadComplete(const DownloadResult &result)
{
    m_pendingResumeData = result.resumeData;
    m_downloader.reset();
    const QString code = failureCode(result);

    switch (result.status) {
    case DownloadResult::Status::Saved:
        if (m_fetchingSignature) {
            signatureArrived();
            return;
        }
        ITLog("FLOW: download complete");
        if (imageVerified(result))
            launchInstaller(result);
        return;
    case DownloadResult::Status::Cancelled:
        ITLog("FLOW: download cancelled, closing");
        ITTrackEvent(QStringLiteral("install_cancelled"));
        discardResumeData();
        emit closeWindow();
        return;
    case DownloadResult::Status::NoSpace:
        if (m_state == State::Closing)
            break;
        // Retrying cannot make room; the folder and the sizes tell the user what to free.
        discardResumeData();
        clearLeftovers();
        failForSpace(result.spaceFolder, result.bytesNeeded, result.bytesAvailable,
                     QMessageBox::NoIcon);
        return;
    case DownloadResult::Status::TooLarge:
        // Not retried: the same server would send the same oversized file.
        failVerification(
            m_fetchingSignature
                ? ITFormat("malformed: %lld bytes, too long for a signature file", result.size)
                : ITFormat("size is at least %lld bytes, signed for %lld", result.size,
                           m_signature ? m_signature->size : 0));
        return;
    case DownloadResult::Status::Failed:
        break;
    }

    ITLog("FLOW: download FAILED (HTTP %ld): %@", result.httpStatus, result.message);
    if (m_state == State::Closing) {
        discardResumeData();
        emit closeWindow();
        return;
    }
    // A release without its .sig cannot be trusted; only a transient failure is worth a retry.
    if (m_fetchingSignature && isFinalFailure(result.httpStatus)) {
        failVerification(ITFormat("no signature file (HTTP %ld)", result.httpStatus));
        return;
    }

    if (!isFinalFailure(result.httpStatus) && m_retryCount < kMaxRetries) {
        ++m_retryCount;
        ITTrackEvent(QStringLiteral("install_retry"), code);
        const double delay = static_cast<double>(m_retryCount);
        ITLog("FLOW: auto-retry %ld/%ld in %.0f ms", m_retryCount, kMaxRetries, delay * 1000.0);
        setProgress(0, false);
        setInstallStatus(L().installingWait);
        setState(State::WaitingToRetry);
        m_retryTimer.start(scaledMs(delay));
        return;
    }

    ITLog("FLOW: download FAILED after %ld retries, giving up", m_retryCount);
    ITTrackEvent(QStringLiteral("install_failed"), code);
    // Retry starts from the beginning, so a partial file kept for resuming is of no more use.
    discardResumeData();
    clearLeftovers();
    fail(failureText(result), QMessageBox::NoIcon, true);
}

// A server's answer is shown as it stands; a failure before any answer in the window's language
// (the log above keeps the HTTP library's own words and code).
QString SetupFlow::failureText(const DownloadResult &result) const
{
    const UIStrings &texts = L();
    switch (result.transport) {
    case TransportFailure::None:
        return result.message;
    case TransportFailure::HostNotFound:
        return texts.netHostNotFound;
    case TransportFailure::NoConnection:
        return texts.netNoConnection;
    case TransportFailure::TimedOut:
        return texts.netTimedOut;
    case TransportFailure::ConnectionLost:
        return texts.netConnectionLost;
    case TransportFailure::CertificateUntrusted:
        return texts.netCertUntrusted;
    case TransportFailure::CertificateExpired:
        return texts.netCertExpired;
    case TransportFailure::CertificateWrongHost:
        return texts.netCertWrongHost;
    case TransportFailure::Other:
        break;
    }
    return texts.netOther;
}

// Called only while no attempt runs, so every partial file of the image is an orphan.
void SetupFlow::discardResumeData()
{
    m_pendingResumeData.reset();
    if (!m_destFile.isEmpty()) {
        removeStalePartials(m_destFile);
        removeStalePartials(m_destFile + kSignatureSuffix);
    }
}

// Checked as soon as it arrives, so a bad .sig never costs the image's download.
void SetupFlow::signatureArrived()
{
    const QString path = m_destFile + kSignatureSuffix;
    if (m_state == State::Closing) {
        QFile::remove(path);
        emit closeWindow();
        return;
    }
    QFile file(path);
    QString error;
    if (!file.open(QIODevice::ReadOnly))
        error = ITFormat("cannot read the signature file: %@", file.errorString());
    else
        m_signature = readImageSignature(file.read(kMaxImageSignatureBytes + 1),
                                         m_options.imagePublicKey, &error);
    if (m_signature)
        error =
            checkRelease(*m_signature, m_options.minImageVersion, QDateTime::currentDateTimeUtc());
    if (!m_signature || !error.isEmpty()) {
        failVerification(error);
        return;
    }
    // The image gets retries of its own.
    m_fetchingSignature = false;
    m_retryCount = 0;
    m_pendingResumeData.reset();
    launchDownload();
}

// The name checked is the image's own (the last segment of its URL): a .sig published for the
// other processor's image must not pass for this one.
bool SetupFlow::imageVerified(const DownloadResult &result)
{
    if (!m_signature)
        return true; // no key built in
    const QString imageName = QUrl(installerURL()).fileName();
    const QString mismatch = checkImage(*m_signature, imageName, result.size, result.sha256);
    if (!mismatch.isEmpty()) {
        failVerification(mismatch);
        return false;
    }
    ITLog("FLOW: image verified (sha256 %@)", QString::fromLatin1(result.sha256.toHex()));
    return true;
}

// No offline link: the offline image is the same bytes and would fail the same way. Nothing
// of this download is kept, so Retry fetches both files from byte 0.
void SetupFlow::failVerification(const QString &reason)
{
    ITLog("FLOW: image verification FAILED: %@", reason);
    m_signature.reset();
    m_fetchingSignature = false;
    discardResumeData();
    clearLeftovers();
    // Confirmed exit meanwhile: the window closes, as after any other failure then.
    if (m_state == State::Closing) {
        emit closeWindow();
        return;
    }
    ITTrackEvent(QStringLiteral("install_failed"), QStringLiteral("image_unverified"));
    fail(L().imageUnverified, QMessageBox::NoIcon, false);
}

void SetupFlow::fail(const QString &message, QMessageBox::Icon alert, bool offlineLink)
{
    endActivityHold();
    setState(State::Failed);
    emit failed(message, alert, offlineLink);
}

void SetupFlow::showFailure(const QString &message)
{
    ITLog("FLOW: failure shown to user: %@", message);
    fail(message, QMessageBox::Critical, false);
}

void SetupFlow::failForSpace(const QString &folder, qint64 needed, qint64 available,
                             QMessageBox::Icon alert)
{
    ITLog("FLOW: not enough disk space in %@: %lld bytes needed, %lld available", folder, needed,
          available);
    ITTrackEvent(QStringLiteral("install_failed"), QStringLiteral("disk_space"));
    const qint64 megabytes = (qMax<qint64>(needed, 0) + kMegabyte - 1) / kMegabyte;
    fail(ITFormat(L().notEnoughSpace, kProductName, megabytes, folder), alert, false);
}

// --- Install stage -----------------------------------------------------------------------------

void SetupFlow::launchInstaller(const DownloadResult &image)
{
    ITLog("FLOW: installing %@ into %@", kAppName, m_folder);
    setState(State::Installing);
    setProgress(kInstallStart, true);
    setInstallStatus(L().installingWait, QStringLiteral("90%"));
    m_creepTimer.start(scaledMs(kCreepInterval));

    QPointer<SetupFlow> self(this);
    m_installer = DMGInstaller::create(m_destFile, kAppName, m_folder);
    const DMGInstaller *run = m_installer.get(); // identity only, never dereferenced
    m_installer->setImageDigest(image.size, image.sha256);
#ifdef Q_OS_LINUX
    DMGInstaller::Tools tools = m_installer->tools();
    tools.menuEntry = true;
    m_installer->setTools(tools);
#endif
    if (m_options.installerSetup)
        m_options.installerSetup(*m_installer);
    m_installer->onStatus = [self](InstallStage stage) {
        if (self)
            self->installStage(stage);
    };
    m_installer->onComplete = [self, run](const InstallResult &result) {
        if (self && self->m_installer.get() == run)
            self->installFinished(result);
    };
    const std::shared_ptr<DMGInstaller> installer = m_installer;
    installer->start();
}

void SetupFlow::creepInstall()
{
    if (m_progress < kCreepCeiling)
        setProgress(m_progress + kCreepStep, true);
    setInstallStatus(L().installingWait, ITFormat("%ld%%", qint64(m_progress / 10)));
}

void SetupFlow::installStage(InstallStage stage)
{
    ITLog("INST: stage %@", installStageName(stage));
}

void SetupFlow::installFinished(const InstallResult &result)
{
    m_creepTimer.stop();
    m_installer.reset();
    endActivityHold();
    // Deleted in every outcome: a later Retry downloads the whole image again.
    QFile::remove(m_destFile);
    QFile::remove(m_destFile + kSignatureSuffix);
    m_signature.reset();

    switch (result.status) {
    case InstallResult::Status::Installed:
        ITLog("FLOW: install SUCCESS, app=%@", result.app);
        ITTrackEvent(QStringLiteral("install_success"));
        m_installedApp = result.app;
        setProgress(kProgressMax, true);
        setInstallStatus(L().installingWait, QStringLiteral("100%"));
        setState(State::Finished);
        emit finished(result.app);
        return;
    case InstallResult::Status::NoSpace:
        failForSpace(result.spaceFolder, result.bytesNeeded, result.bytesAvailable,
                     QMessageBox::Critical);
        return;
    case InstallResult::Status::Failed:
        ITLog("FLOW: install FAILED: %@", result.error);
        ITTrackEvent(QStringLiteral("install_failed"), QStringLiteral("copy_error"));
        showFailure(result.error);
        return;
    }
}

void SetupFlow::startApp()
{
    if (!m_installedApp.isEmpty()) {
        ITLog("FLOW: Start Now, launching %@", m_installedApp);
        platform::launchApplication(m_installedApp);
    }
    emit closeWindow();
}

// --- Closing -----------------------------------------------------------------------------------

void SetupFlow::refuseClose()
{
    ITLog("UI: close blocked, install in progress");
    setInstallStatus(L().installInProgress);
}

SetupFlow::CloseDecision SetupFlow::closeRequest()
{
    if (m_state == State::Installing) {
        refuseClose();
        return CloseDecision::Refuse;
    }
    if (m_state == State::Finished || m_state == State::Closing)
        return CloseDecision::Close;
    return CloseDecision::Ask;
}

// The question runs its own event loop: a download may have finished meanwhile and started the
// install stage, which must not be cut off.
SetupFlow::CloseDecision SetupFlow::confirmExit()
{
    if (m_state != State::Idle && m_state != State::Failed && m_state != State::Downloading &&
        m_state != State::WaitingToRetry)
        return closeRequest();
    setState(State::Closing);
    ITLog("UI: user confirmed exit");
    m_retryTimer.stop();
    if (!m_downloader)
        return CloseDecision::Close;
    m_downloader->cancel();
    setInstallStatus(L().cancelling);
    return CloseDecision::Wait;
}

void SetupFlow::chooseOfflineInstaller()
{
    ITLog("FLOW: user chose offline installer, opening browser");
    ITTrackEvent(QStringLiteral("offline_download"));
    setState(State::Closing);
}

void SetupFlow::shutdown()
{
    endActivityHold();
    m_retryTimer.stop();
    // A second close while "Cancelling..." is shown lands here before the cancelled attempt has
    // come back; its worker must not outlive the process's orderly end.
    if (m_downloader)
        m_downloader->cancel();
    platform::waitForWorkers(platform::WorkerKind::Download, QDeadlineTimer(kCancelWaitMs));
    // After a finished install the worker may still be detaching the image; let it, so that the
    // clean-up never races a live mount.
    platform::waitForWorkers(platform::WorkerKind::Install, QDeadlineTimer(kDetachWaitMs));
    clearLeftovers();
    // A fresh private folder made for this run goes entirely; the usual one stays, empty.
    platform::releasePrivateDirectory();
}

// Everything the flow keeps in the private folder (image, partial download, mount points,
// staging copies) is disposable once nothing runs; a crashed earlier run leaves the same kinds.
QString SetupFlow::privateFolder() const
{
    return m_options.privateFolder ? m_options.privateFolder() : platform::privateDirectory();
}

void SetupFlow::clearLeftovers()
{
    const QString dir = privateFolder();
    if (dir.isEmpty())
        return;
    const int removed = platform::clearFolder(dir);
    if (removed > 0)
        ITLog("FLOW: removed %d leftover item(s) from %@", removed, dir);
}
