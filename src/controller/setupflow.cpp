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
#include "realstages.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <cmath>

using namespace download;
using namespace install;
using namespace l10n;
using namespace platform;

namespace controller {

namespace {

const QString kAppName = QStringLiteral(QUILLMARSH_BUNDLE_NAME);
const QString kProductName = QStringLiteral(QUILLMARSH_PRODUCT_NAME);
const QString kImageName = QStringLiteral("/quillmarsh_setup.dmg");
const QString kSignatureSuffix = QStringLiteral(".sig");

constexpr qint64 kMaxRetries = 3;
constexpr double kDownloadShare = 90.0; // the download fills the bar up to 90 %
constexpr int kInstallStart = 900;
constexpr int kCreepCeiling = 990;
constexpr int kCreepStep = 2;
constexpr double kCreepInterval = 0.5;
constexpr qint64 kMegabyte = 1000 * 1000;
constexpr qint64 kHeldForMs = 14LL * 24 * 3600 * 1000; // a partial download older goes at start
constexpr qint64 kClockSkewMs = 24LL * 3600 * 1000;

// Failures a host will not get over by being asked again: with another host on the list, the
// download moves on at once. (With none, they are retried as any other failure.) A host that
// never answered in time counts among them; one that stalls part-way gets its retries.
bool leavesHostAtOnce(const DownloadResult &result)
{
    switch (result.transport) {
    case TransportFailure::HostNotFound:
    case TransportFailure::NoConnection:
    case TransportFailure::CertificateUntrusted:
    case TransportFailure::CertificateExpired:
    case TransportFailure::CertificateWrongHost:
    case TransportFailure::ProxyAuthRequired:
    case TransportFailure::ProxyFailed:
        return true;
    case TransportFailure::TimedOut:
        return result.httpStatus == 0 && result.received == 0;
    default:
        return false;
    }
}

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

SetupFlow::Parts SetupFlow::standardParts(const QString &privateFolder)
{
    Parts parts;
    parts.download = createNetworkDownloadStage();
    parts.install = createImageInstallStage();
    parts.privateFolder = privateFolder;
    return parts;
}

SetupFlow::SetupFlow(Parts parts, QObject *parent) : QObject(parent), m_parts(std::move(parts))
{
    // Coarse timers may fire 5 % early, which would make a wait logged as 1000 ms shorter.
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &SetupFlow::retryTimerTick);
    m_creepTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_creepTimer, &QTimer::timeout, this, &SetupFlow::creepInstall);
}

SetupFlow::~SetupFlow()
{
    shutdown();
}

int SetupFlow::scaledMs(double seconds) const
{
    return static_cast<int>(std::lround(seconds * 1000.0 * m_parts.timeScale));
}

const UIStrings &SetupFlow::L() const
{
    return Localization::all().at(m_langIndex);
}

QStringList SetupFlow::hosts() const
{
    const QString list = m_parts.downloadBaseURL.isEmpty()
                             ? QStringLiteral(QUILLMARSH_DOWNLOAD_BASE_URL)
                             : m_parts.downloadBaseURL;
    return list.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

QString SetupFlow::imageURL(qsizetype host) const
{
    return hosts().value(host) + (platform::isArm64() ? QStringLiteral("/quillmarsh.silicon.dmg")
                                                      : QStringLiteral("/quillmarsh.dmg"));
}

QString SetupFlow::installerURL() const
{
    return imageURL(0);
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

void SetupFlow::track(const QString &name, const QString &reason) const
{
    if (m_parts.track)
        m_parts.track(name, reason);
    else
        ITTrackEvent(name, reason);
}

void SetupFlow::beginActivityHold()
{
    if (m_activityHold || !m_parts.keepAwake)
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
    track(QStringLiteral("install_start"));
    m_folder = trimmedLocation(folder);
    m_retryCount = 0;
    m_pendingResumeData.reset();
    m_signature.reset();
    static bool checkOffLogged = false;
    if (m_parts.imagePublicKey.isEmpty() && !checkOffLogged) {
        checkOffLogged = true;
        ITLog("FLOW: image signature check off (no public key built in)");
    }

    // The image is only ever written into the private folder; without one there is no download.
    if (m_parts.privateFolder.isEmpty() || !m_parts.download) {
        ITLog("FLOW: no private folder for the download, not starting");
        track(QStringLiteral("install_failed"), QStringLiteral("no_private_folder"));
        fail(Failure::NoPrivateFolder, L().noPrivateFolder);
        return;
    }
    m_destFile = m_parts.privateFolder + kImageName;
    m_host = 0;
    m_received = m_reused = m_sigReused = 0;
    m_crossing = m_crossed = m_refetched = false;
    const HeldDownload held = heldDownload();
    if (held.signature || held.resume) {
        m_signature = held.signature;
        m_pendingResumeData = held.resume;
        m_reused = held.bytes;
        m_sigReused = held.signatureBytes;
        // Unsigned bytes never cross hosts: the download goes on where they came from.
        if (held.resume && m_parts.imagePublicKey.isEmpty())
            m_host = qMax<qsizetype>(0, hosts().indexOf(held.url.left(held.url.lastIndexOf(u'/'))));
        ITLog("FLOW: continuing an earlier run's download: %lld bytes of the image held from "
              "%@, signature file %@",
              held.bytes, held.resume ? held.url : QStringLiteral("-"),
              held.signature ? QStringLiteral("held") : QStringLiteral("not held"));
    } else {
        discardDownload();
    }
    beginActivityHold();
    emit started();
    launchDownload();
}

// The .sig first when a key is built in: the image is fetched only once it has been checked.
void SetupFlow::launchDownload()
{
    const bool signature = !m_parts.imagePublicKey.isEmpty() && !m_signature;
    setState(signature ? State::FetchingSignature : State::Downloading);
    setProgress(0, true);
    setInstallStatus(L().installingWait);
    DownloadAttempt attempt{
        imageURL(m_host), m_destFile, std::move(m_pendingResumeData), -1, {}, false};
    m_pendingResumeData.reset(); // the resume state serves exactly one attempt
    m_crossing = false;
    // Neither file may grow past what it can be: a hostile server could otherwise fill the disk.
    if (signature) {
        attempt.url += kSignatureSuffix;
        attempt.destFile += kSignatureSuffix;
        attempt.maxBytes = kMaxImageSignatureBytes;
        ITLog("FLOW: image signature URL -> %@", attempt.url);
    } else {
        if (m_signature)
            attempt.maxBytes = m_signature->size;
        // The image's bytes outlive the run; a signed one's may come from any host.
        attempt.stateFile = stateFileFor(m_destFile);
        attempt.anyHost = !m_parts.imagePublicKey.isEmpty();
        if (attempt.resume)
            if (const auto state = ResumeState::decode(*attempt.resume))
                m_crossing = state->url != attempt.url;
        ITLog("FLOW: architecture URL -> %@", attempt.url);
    }
    const quint64 id = ++m_attempt;
    // Only the attempt in hand counts; a late report of an abandoned one is dropped. The .sig is
    // tiny: the bar waits for the image's bytes.
    m_parts.download->start(
        attempt,
        [this, id, signature](qint64 written, qint64 total) {
            if (id == m_attempt && !signature)
                downloadProgress(written, total);
        },
        [this, id, signature](const DownloadResult &result) {
            if (id != m_attempt)
                return;
            if (signature && result.status == DownloadResult::Status::Saved) {
                m_received += result.received;
                signatureArrived();
            } else {
                downloadComplete(result);
            }
        });
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
    const QString code = failureCode(result);
    const bool signature = m_state == State::FetchingSignature;
    countBytes(result, signature);

    switch (result.status) {
    case DownloadResult::Status::Saved:
        ITLog("FLOW: download complete");
        if (imageVerified(result)) {
            logBytes();
            launchInstaller(result);
        }
        return;
    case DownloadResult::Status::Cancelled:
        // What has arrived stays for the next run.
        ITLog("FLOW: download cancelled, closing");
        track(QStringLiteral("install_cancelled"));
        emit closeWindow();
        return;
    case DownloadResult::Status::NoSpace:
        if (m_state == State::Closing)
            break;
        // Retrying cannot make room; the folder and the sizes tell the user what to free.
        discardDownload();
        clearLeftovers();
        failForSpace(Failure::NoSpaceDownload, result.spaceFolder, result.bytesNeeded,
                     result.bytesAvailable);
        return;
    case DownloadResult::Status::TooLarge:
        // Not retried: the same server would send the same oversized file.
        failVerification(
            signature
                ? ITFormat("malformed: %lld bytes, too long for a signature file", result.size)
                : ITFormat("size is at least %lld bytes, signed for %lld", result.size,
                           m_signature ? m_signature->size : 0));
        return;
    case DownloadResult::Status::Failed:
        break;
    }

    ITLog("FLOW: download FAILED (HTTP %ld): %@", result.httpStatus, result.message);
    if (m_state == State::Closing) {
        emit closeWindow();
        return;
    }
    // A host that failed for good, or once its retries are spent, hands over to the next one.
    const bool spent = isFinalFailure(result.httpStatus) || leavesHostAtOnce(result) ||
                       m_retryCount >= kMaxRetries;
    if (spent && m_host + 1 < hosts().size()) {
        leaveHost(result);
        return;
    }
    // A release without its .sig cannot be trusted; only a transient failure is worth a retry.
    if (signature && isFinalFailure(result.httpStatus)) {
        failVerification(ITFormat("no signature file (HTTP %ld)", result.httpStatus));
        return;
    }

    // A proxy that wants a password will want it again: only the user can settle that.
    if (!isFinalFailure(result.httpStatus) &&
        result.transport != TransportFailure::ProxyAuthRequired && m_retryCount < kMaxRetries) {
        ++m_retryCount;
        track(QStringLiteral("install_retry"), code);
        const double delay = static_cast<double>(m_retryCount);
        ITLog("FLOW: auto-retry %ld/%ld in %.0f ms", m_retryCount, kMaxRetries, delay * 1000.0);
        setProgress(0, false);
        setInstallStatus(L().installingWait);
        setState(State::WaitingToRetry);
        m_retryTimer.start(scaledMs(delay));
        return;
    }

    ITLog("FLOW: download FAILED after %ld retries, giving up", m_retryCount);
    logBytes();
    track(QStringLiteral("install_failed"), code);
    // Retry starts from the beginning, so a partial file kept for resuming is of no more use.
    discardDownload();
    clearLeftovers();
    fail(Failure::Download, failureText(result));
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
    case TransportFailure::ProxyAuthRequired:
        return texts.netProxyAuth;
    case TransportFailure::ProxyFailed:
        return texts.netProxyFailed;
    case TransportFailure::Other:
        break;
    }
    return texts.netOther;
}

// Called only while no attempt runs, so every partial file of the image is an orphan.
void SetupFlow::discardDownload()
{
    m_pendingResumeData.reset();
    if (!m_destFile.isEmpty() && m_parts.download) {
        m_parts.download->discard(m_destFile);
        m_parts.download->discard(m_destFile + kSignatureSuffix);
    }
}

// The .sig in the private folder, checked as if it had just arrived: signature, version floor
// and expiry against the present. Its own name is checked against the image at the end.
std::optional<ImageSignature> SetupFlow::readSignature(QString *error) const
{
    QFile file(m_parts.privateFolder + kImageName + kSignatureSuffix);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = ITFormat("cannot read the signature file: %@", file.errorString());
        return std::nullopt;
    }
    auto signature =
        readImageSignature(file.read(kMaxImageSignatureBytes + 1), m_parts.imagePublicKey, error);
    if (signature)
        *error = checkRelease(*signature, m_parts.minImageVersion, QDateTime::currentDateTimeUtc());
    if (!error->isEmpty())
        signature.reset();
    return signature;
}

// Checked as soon as it arrives, so a bad .sig never costs the image's download.
void SetupFlow::signatureArrived()
{
    // A confirmed exit meanwhile: the window closes, and the image is never asked for.
    if (m_state == State::Closing) {
        emit closeWindow();
        return;
    }
    QString error;
    m_signature = readSignature(&error);
    if (!m_signature) {
        failVerification(error);
        return;
    }
    // The image gets retries of its own.
    m_retryCount = 0;
    m_pendingResumeData.reset();
    launchDownload();
}

void SetupFlow::leaveHost(const DownloadResult &result)
{
    ITLog("FLOW: leaving download host %@ (%@: %@), trying %@", hosts().value(m_host),
          failureCode(result), result.message, hosts().value(m_host + 1));
    ++m_host;
    m_retryCount = 0;
    // Bytes of an unsigned image are vouched for only by the host's validator.
    if (m_parts.imagePublicKey.isEmpty())
        m_pendingResumeData.reset();
    launchDownload();
}

// Bytes reused from earlier runs are those the image still builds on: an attempt that starts the
// file over drops them, one that continues it keeps at most what it continued.
void SetupFlow::countBytes(const DownloadResult &result, bool signature)
{
    m_received += result.received;
    if (signature || result.continuedFrom < 0)
        return;
    m_reused = qMin(m_reused, result.continuedFrom);
    if (result.continuedFrom == 0)
        m_crossed = false;
    else if (m_crossing)
        m_crossed = true;
}

void SetupFlow::logBytes() const
{
    ITLog("FLOW: download bytes: %lld received over the network in this run, %lld reused from "
          "earlier runs",
          m_received, m_reused + m_sigReused);
}

// What of the private folder a later Install continues: an image's resume state that checks out
// (its own checksum, its age, an address this build downloads from, the partial file it names)
// and, with a key built in, the .sig beside it, which must pass its checks again and sign an
// image of the size held. Anything else is of no use. The held bytes themselves are read again
// and checked by the download.
SetupFlow::HeldDownload SetupFlow::heldDownload() const
{
    HeldDownload held;
    const QString &dir = m_parts.privateFolder;
    if (dir.isEmpty())
        return held;
    const bool keyed = !m_parts.imagePublicKey.isEmpty();
    const QString dest = dir + kImageName;
    if (keyed) {
        QString error;
        held.signature = readSignature(&error);
        if (!held.signature)
            return held;
        held.signatureBytes = QFileInfo(dest + kSignatureSuffix).size();
        held.names << QFileInfo(dest + kSignatureSuffix).fileName();
    }
    const auto blob = readStateFile(stateFileFor(dest));
    const auto state = blob ? ResumeState::decode(*blob) : std::nullopt;
    if (!state)
        return {}; // a .sig alone is not worth keeping
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - state->savedAtMs;
    // This processor's image, from any host when signed, else from one on the list.
    const bool known = QUrl(state->url).fileName() == QUrl(imageURL(0)).fileName() &&
                       (keyed || hosts().contains(state->url.left(state->url.lastIndexOf(u'/'))));
    const QString partial = QFileInfo(state->partialPath).fileName();
    const bool whole = state->offset == state->total;
    const bool present =
        isPartialPathFor(state->partialPath, dest) &&
        (QFileInfo::exists(state->partialPath) || (whole && QFileInfo(dest).isFile()));
    if (age > kHeldForMs || age < -kClockSkewMs || !known || !present ||
        (held.signature && held.signature->size != state->total))
        return {};
    held.resume = blob;
    held.url = state->url;
    held.bytes = state->offset;
    held.names << QFileInfo(stateFileFor(dest)).fileName() << partial;
    if (whole)
        held.names << QFileInfo(dest).fileName(); // landed, never installed
    return held;
}

// The name checked is the image's own (the last segment of its URL): a .sig published for the
// other processor's image must not pass for this one.
bool SetupFlow::imageVerified(const DownloadResult &result)
{
    if (!m_signature)
        return true; // no key built in
    const QString imageName = QUrl(installerURL()).fileName();
    const QString mismatch = checkImage(*m_signature, imageName, result.size, result.sha256);
    // Bytes of two hosts, or an earlier run's .sig, that do not make the signed image: the host
    // may hold another release now. Both files again, from this host, once.
    if (!mismatch.isEmpty() && (m_crossed || m_sigReused > 0) && !m_refetched) {
        ITLog("FLOW: image did not check out against %@ (%@), fetching both files again from %@",
              m_crossed ? QStringLiteral("bytes from two hosts")
                        : QStringLiteral("an earlier run's signature file"),
              mismatch, hosts().value(m_host));
        m_refetched = true;
        m_crossed = false;
        m_signature.reset();
        discardDownload();
        m_retryCount = 0;
        m_reused = m_sigReused = 0;
        launchDownload();
        return false;
    }
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
    discardDownload();
    clearLeftovers();
    // Confirmed exit meanwhile: the window closes, as after any other failure then.
    if (m_state == State::Closing) {
        emit closeWindow();
        return;
    }
    track(QStringLiteral("install_failed"), QStringLiteral("image_unverified"));
    fail(Failure::Unverified, L().imageUnverified);
}

void SetupFlow::fail(Failure failure, const QString &message)
{
    endActivityHold();
    setState(State::Failed);
    emit failed(failure, message);
}

void SetupFlow::failForSpace(Failure failure, const QString &folder, qint64 needed,
                             qint64 available)
{
    ITLog("FLOW: not enough disk space in %@: %lld bytes needed, %lld available", folder, needed,
          available);
    track(QStringLiteral("install_failed"), QStringLiteral("disk_space"));
    const qint64 megabytes = (qMax<qint64>(needed, 0) + kMegabyte - 1) / kMegabyte;
    fail(failure, ITFormat(L().notEnoughSpace, kProductName, megabytes, folder));
}

// --- Install stage -----------------------------------------------------------------------------

void SetupFlow::launchInstaller(const DownloadResult &image)
{
    ITLog("FLOW: installing %@ into %@", kAppName, m_folder);
    setState(State::Installing);
    setProgress(kInstallStart, true);
    setInstallStatus(L().installingWait, QStringLiteral("90%"));
    m_creepTimer.start(scaledMs(kCreepInterval));

    InstallJob job{m_destFile,  {m_destFile + kSignatureSuffix}, kAppName, m_folder, image.size,
                   image.sha256};
    const quint64 id = ++m_attempt;
    m_parts.install->start(
        job, [this](InstallStep step) { installStep(step); },
        [this, id](const InstallResult &result) {
            if (id == m_attempt)
                installFinished(result);
        });
}

void SetupFlow::creepInstall()
{
    if (m_progress < kCreepCeiling)
        setProgress(m_progress + kCreepStep, true);
    setInstallStatus(L().installingWait, ITFormat("%ld%%", qint64(m_progress / 10)));
}

void SetupFlow::installStep(InstallStep step)
{
    ITLog("INST: stage %@", installStepName(step));
}

void SetupFlow::installFinished(const InstallResult &result)
{
    m_creepTimer.stop();
    endActivityHold();
    // The install stage deletes the image in every outcome: a later Retry downloads it again.
    m_signature.reset();

    switch (result.status) {
    case InstallResult::Status::Installed:
        ITLog("FLOW: install SUCCESS, app=%@", result.app);
        track(QStringLiteral("install_success"));
        m_installedApp = result.app;
        setProgress(kProgressMax, true);
        setInstallStatus(L().installingWait, QStringLiteral("100%"));
        setState(State::Finished);
        emit finished(result.app);
        return;
    case InstallResult::Status::NoSpace:
        failForSpace(Failure::NoSpaceInstall, result.spaceFolder, result.bytesNeeded,
                     result.bytesAvailable);
        return;
    case InstallResult::Status::Failed:
        ITLog("FLOW: install FAILED: %@", result.error);
        track(QStringLiteral("install_failed"), QStringLiteral("copy_error"));
        ITLog("FLOW: failure shown to user: %@", result.error);
        fail(Failure::Install, result.error);
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
    if (m_state == State::Installing || m_state == State::Finished || m_state == State::Closing)
        return closeRequest();
    // In these two states, and only in them, an attempt runs.
    const bool attemptRuns = m_state == State::FetchingSignature || m_state == State::Downloading;
    setState(State::Closing);
    ITLog("UI: user confirmed exit");
    m_retryTimer.stop();
    if (!attemptRuns)
        return CloseDecision::Close;
    m_parts.download->cancel();
    setInstallStatus(L().cancelling);
    return CloseDecision::Wait;
}

void SetupFlow::chooseOfflineInstaller()
{
    ITLog("FLOW: user chose offline installer, opening browser");
    track(QStringLiteral("offline_download"));
    setState(State::Closing);
}

// The stages go first: a cancelled download lets go of its partial file, and an install that
// finished may still be detaching its image, which the clean-up must never race.
void SetupFlow::shutdown()
{
    endActivityHold();
    m_retryTimer.stop();
    m_creepTimer.stop();
    ++m_attempt; // nothing reported from here on changes anything
    // Dropping a stage ends what it runs: a download is cancelled, an install's detach waited for.
    m_parts.download.reset();
    m_parts.install.reset();
    if (m_state == State::Finished)
        clearLeftovers();
    else
        sweepLeftovers();
}

// Everything the flow keeps in the private folder (image, partial download, mount points,
// staging copies) is disposable once nothing runs; a crashed earlier run leaves the same kinds.
void SetupFlow::clearLeftovers()
{
    removeLeftovers({});
}

void SetupFlow::sweepLeftovers()
{
    const HeldDownload held = heldDownload();
    removeLeftovers(held.names);
    if (held.resume)
        ITLog("FLOW: kept %lld bytes of the image from %@ for the next run", held.bytes, held.url);
}

void SetupFlow::removeLeftovers(const QStringList &keep)
{
    const QString &dir = m_parts.privateFolder;
    if (dir.isEmpty())
        return;
    const int removed = platform::clearFolder(dir, QDeadlineTimer(10000), keep);
    if (removed > 0)
        ITLog("FLOW: removed %d leftover item(s) from %@", removed, dir);
}

} // namespace controller
