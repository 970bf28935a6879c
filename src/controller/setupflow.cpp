#include "setupflow.h"

#include "config.h"
#include "diag/analytics.h"
#include "diag/itformat.h"
#include "diag/itlog.h"
#include "download/folderlayout.h"
#include "download/helddownload.h"
#include "download/resumestate.h"
#include "l10n/localization.h"
#include "platform/activityhold.h"
#include "platform/cpu.h"
#include "platform/ownfile.h"
#include "realstages.h"

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
constexpr double kDownloadShare = 90.0; // the download fills the bar up to 90 %
constexpr qint64 kMegabyte = 1000 * 1000;
constexpr int kMinStaggerMs = 100;

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
    m_destFile = layout::imageFile(m_parts.privateFolder);
    m_hosts = HostPolicy(hosts().size());
    m_hosts.begin();
    m_received = m_reused = m_sigReused = 0;
    m_crossing = m_crossed = m_refetched = false;
    const HeldDownload held = heldDownload();
    if (held.signature || held.resume) {
        m_signature = held.signature;
        m_pendingResumeData = held.resume;
        m_reused = held.bytes;
        m_sigReused = held.signatureBytes;
        m_hosts.begin(held.host);
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
        imageURL(m_hosts.host()),   m_destFile, std::move(m_pendingResumeData), -1, {}, false, {},
        m_hosts.patience(signature)};
    for (qsizetype i = m_hosts.host() + 1; i < hosts().size(); ++i)
        attempt.raceUrls << (signature ? layout::signatureFile(imageURL(i)) : imageURL(i));
    // Scaled, but never so short that a host on loopback, on a busy machine, counts as silent.
    if (attempt.patience.staggerMs > 0)
        attempt.patience.staggerMs =
            qMax(kMinStaggerMs, scaledMs(attempt.patience.staggerMs / 1000.0));
    m_pendingResumeData.reset(); // the resume state serves exactly one attempt
    m_crossing = false;
    // Neither file may grow past what it can be: a hostile server could otherwise fill the disk.
    if (signature) {
        attempt.url = layout::signatureFile(attempt.url);
        attempt.destFile = layout::signatureFile(m_destFile);
        attempt.maxBytes = kMaxImageSignatureBytes;
        ITLog("FLOW: image signature URL -> %@", attempt.url);
    } else {
        if (m_signature)
            attempt.maxBytes = m_signature->size;
        // The image's bytes outlive the run; a signed one's may come from any host.
        attempt.stateFile = layout::stateFile(m_destFile);
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
            answeredBy(result.url);
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
    const qsizetype host = m_hosts.host();
    switch (m_hosts.afterFailure({result.httpStatus, result.transport})) {
    case HostPolicy::Step::NextHost:
        leaveHost(host, result);
        return;
    case HostPolicy::Step::Retry:
        break;
    case HostPolicy::Step::GiveUp:
        // A release without its .sig cannot be trusted.
        if (signature && HostPolicy::isFinal(result.httpStatus)) {
            failVerification(ITFormat("no signature file (HTTP %ld)", result.httpStatus));
            return;
        }
        ITLog("FLOW: download FAILED after %ld retries, giving up", m_hosts.retries());
        logBytes();
        track(QStringLiteral("install_failed"), code);
        // Retry starts from the beginning, so a partial file kept for resuming is of no more use.
        discardDownload();
        clearLeftovers();
        fail(Failure::Download, failureText(result));
        return;
    }
    {
        track(QStringLiteral("install_retry"), code);
        const double delay = static_cast<double>(m_hosts.delaySeconds());
        ITLog("FLOW: auto-retry %ld/%ld in %.0f ms", m_hosts.retries(), HostPolicy::kMaxRetries,
              delay * 1000.0);
        setProgress(0, false);
        setInstallStatus(L().installingWait);
        setState(State::WaitingToRetry);
        m_retryTimer.start(scaledMs(delay));
    }
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
        m_parts.download->discard(layout::signatureFile(m_destFile));
    }
}

// The .sig in the private folder, checked as if it had just arrived: signature, version floor
// and expiry against the present. Its own name is checked against the image at the end.
std::optional<ImageSignature> SetupFlow::readSignature(QString *error) const
{
    const std::optional<QByteArray> text =
        platform::readOwnFile(layout::signatureFile(layout::imageFile(m_parts.privateFolder)),
                              kMaxImageSignatureBytes + 1);
    if (!text) {
        *error = ITFormat("cannot read the signature file: %@", qt_error_string(errno));
        return std::nullopt;
    }
    auto signature = readImageSignature(*text, m_parts.imagePublicKey, error);
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
    m_hosts.nextFile();
    m_pendingResumeData.reset();
    launchDownload();
}

// The host a result came from: a race may have ended on another than the one asked first.
void SetupFlow::answeredBy(const QString &url)
{
    for (qsizetype i = 0; i < hosts().size(); ++i)
        if (url == imageURL(i) || url == layout::signatureFile(imageURL(i)))
            m_hosts.answeredBy(i);
}

void SetupFlow::leaveHost(qsizetype host, const DownloadResult &result)
{
    ITLog("FLOW: leaving download host %@ (%@: %@), trying %@", hosts().value(host),
          failureCode(result), result.message, hosts().value(m_hosts.host()));
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
    const QString dest = layout::imageFile(dir), sig = layout::signatureFile(dest);
    HeldFacts facts;
    facts.signedImage = !m_parts.imagePublicKey.isEmpty();
    if (facts.signedImage) {
        QString error;
        held.signature = readSignature(&error);
        if (!held.signature)
            return held;
        facts.signedSize = held.signature->size;
        held.signatureBytes = QFileInfo(sig).size();
        held.names << QFileInfo(sig).fileName();
    }
    const auto blob = readStateFile(layout::stateFile(dest));
    facts.state = blob ? ResumeState::decode(*blob) : std::nullopt;
    if (facts.state) {
        facts.partialExists = platform::isOwnFile(facts.state->partialPath);
        facts.imageExists = platform::isOwnFile(dest);
    }
    facts.nowMs = QDateTime::currentMSecsSinceEpoch();
    facts.imageName = QUrl(imageURL(0)).fileName();
    facts.hosts = hosts();
    if (!judgeHeldDownload(facts, dest).accepted)
        return {}; // a .sig alone is not worth keeping
    held.resume = blob;
    held.url = facts.state->url;
    held.host = heldHost(facts);
    held.bytes = facts.state->offset;
    held.names << QFileInfo(layout::stateFile(dest)).fileName()
               << QFileInfo(facts.state->partialPath).fileName();
    if (facts.state->offset == facts.state->total)
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
              mismatch, hosts().value(m_hosts.host()));
        m_refetched = true;
        m_crossed = false;
        m_signature.reset();
        discardDownload();
        m_hosts.nextFile();
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

} // namespace controller
