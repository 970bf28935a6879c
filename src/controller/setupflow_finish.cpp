// The setup flow's install stage, its close decision and the private folder's clean-up.
#include "setupflow.h"

#include "config.h"
#include "diag/itformat.h"
#include "diag/itlog.h"
#include "download/folderlayout.h"
#include "platform/launcher.h"
#include "platform/leftovers.h"

using namespace download;
using namespace install;

namespace controller {

namespace {

const QString kAppName = QStringLiteral(QUILLMARSH_BUNDLE_NAME);
constexpr int kInstallStart = 900;
constexpr int kCreepCeiling = 990;
constexpr int kCreepStep = 2;
constexpr double kCreepInterval = 0.5;

} // namespace

// --- Install stage -----------------------------------------------------------------------------

void SetupFlow::launchInstaller(const DownloadResult &image)
{
    ITLog("FLOW: installing %@ into %@", kAppName, m_folder);
    setState(State::Installing);
    setProgress(kInstallStart, true);
    setInstallStatus(L().installingWait, QStringLiteral("90%"));
    m_creepTimer.start(scaledMs(kCreepInterval));

    InstallJob job{m_destFile,  {layout::signatureFile(m_destFile)}, kAppName, m_folder, image.size,
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
