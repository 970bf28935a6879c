#include "mainwindowcontroller.h"
#include "ui/palette.h"

#include "config.h"
#include "diag/analytics.h"
#include "diag/itlog.h"
#include "download/downloader.h"
#include "download/resumestate.h"
#include "platform/activityhold.h"
#include "platform/cpu.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

constexpr qint64 kMaxRetries = 3;
constexpr double kDownloadShare = 90.0; // the download fills the bar up to 90 %

// Client errors are final, except the two that ask the client to come back later.
bool isFinalFailure(qint64 httpStatus)
{
    return httpStatus >= 400 && httpStatus <= 499 && httpStatus != 408 && httpStatus != 429;
}

QString failureCode(qint64 httpStatus, qint64 errorCode)
{
    if (errorCode != 0)
        return ITFormat("download_error_%ld", errorCode);
    return ITFormat("download_error_http_%ld", httpStatus);
}

void setDeterminate(QProgressBar *bar, int value)
{
    bar->setRange(0, kProgressMax);
    bar->setValue(value);
}

} // namespace

QString MainWindowController::installerURL() const
{
    const QString base = m_downloadBaseURL.isEmpty()
                             ? QStringLiteral(QUILLMARSH_DOWNLOAD_BASE_URL)
                             : m_downloadBaseURL;
    return base + (platform::isArm64() ? QStringLiteral("/quillmarsh.silicon.dmg")
                                       : QStringLiteral("/quillmarsh.dmg"));
}

void MainWindowController::beginActivityHold()
{
    if (activityToken)
        return;
    activityToken = std::make_unique<ActivityHold>(QStringLiteral("Downloading and installing"));
    if (!activityToken->isHeld())
        ITLog("FLOW: no sleep inhibitor, going on without (%@)", activityToken->error());
}

void MainWindowController::endActivityHold()
{
    activityToken.reset();
}

void MainWindowController::startDownload()
{
    ITLog("FLOW: Install clicked, dir=\"%@\"", locationField->text());
    ITTrackEvent(QStringLiteral("install_start"));
    retryCount = 0;
    discardResumeData();
    beginActivityHold();
    setBusy(true);
    statusLabel->setText(QString());
    detailLabel->setText(QString());
    offlineLink->hide();
    showInstallView(true);
    launchDownload();
}

void MainWindowController::launchDownload()
{
    setDeterminate(progress, 0);
    setInstallStatus(L().installingWait, QString());
    const QString url = installerURL();
    ITLog("FLOW: architecture URL -> %@", url);

    // The resume state serves exactly one attempt.
    downloader = Downloader::create(url, destFile, pendingResumeData);
    pendingResumeData.reset();

    QPointer<MainWindowController> self(this);
    downloader->onProgress = [self](qint64 written, qint64 total) {
        if (self)
            self->downloadProgress(written, total);
    };
    downloader->onComplete = [self](const DownloadResult &result) {
        if (self)
            self->downloadComplete(result.status == DownloadResult::Status::Saved, result.message);
    };
    downloader->start();
}

void MainWindowController::retryTimerTick()
{
    if (retryTimer) {
        retryTimer->deleteLater();
        retryTimer = nullptr;
    }
    if (!closing)
        launchDownload();
}

void MainWindowController::downloadProgress(qint64 written, qint64 total)
{
    if (total < 1) {
        progress->setRange(0, 0); // indeterminate: Qt animates a busy bar by itself
        setInstallStatus(L().installingWait, QString());
        return;
    }
    const auto pct = static_cast<qint64>(static_cast<double>(written) / static_cast<double>(total)
                                         * kDownloadShare);
    progress->setValue(static_cast<int>(pct * 10));
    setInstallStatus(L().installingWait, ITFormat("%ld%%", pct));
}

void MainWindowController::downloadComplete(bool ok, const QString &message)
{
    const DownloadResult result = downloader ? downloader->result() : DownloadResult();
    const qint64 httpStatus = result.httpStatus;
    const qint64 errorCode = result.errorCode;
    pendingResumeData = result.resumeData;
    downloader.reset();
    const QString code = failureCode(httpStatus, errorCode);

    if (ok) {
        ITLog("FLOW: download complete");
        launchInstaller();
        return;
    }
    if (result.status == DownloadResult::Status::Cancelled) {
        ITLog("FLOW: download cancelled, closing");
        ITTrackEvent(QStringLiteral("install_cancelled"));
        discardResumeData();
        performClose();
        return;
    }
    ITLog("FLOW: download FAILED (HTTP %ld): %@", httpStatus, message);
    if (closing) {
        discardResumeData();
        performClose();
        return;
    }

    if (!isFinalFailure(httpStatus) && retryCount < kMaxRetries) {
        ++retryCount;
        ITTrackEvent(QStringLiteral("install_retry"), code);
        const double delay = static_cast<double>(retryCount);
        ITLog("FLOW: auto-retry %ld/%ld in %.0f ms", retryCount, kMaxRetries, delay * 1000.0);
        progress->setValue(0); // an indeterminate bar stays so until the next attempt
        setInstallStatus(L().installingWait, QString());
        retryTimer = new QTimer(this);
        retryTimer->setSingleShot(true);
        connect(retryTimer, &QTimer::timeout, this, &MainWindowController::retryTimerTick);
        retryTimer->start(scaledMs(delay));
        return;
    }

    ITLog("FLOW: download FAILED after %ld retries, giving up", retryCount);
    ITTrackEvent(QStringLiteral("install_failed"), code);
    // Retry starts from the beginning, so a partial file kept for resuming is of no more use.
    discardResumeData();
    clearLeftovers();
    showFailedMainScreen(message);
    offlineLink->show();
}

void MainWindowController::setBusy(bool busy)
{
    installButton->setEnabled(!busy && acceptCheck->checkState() == Qt::Checked);
    locationField->setEnabled(!busy);
    browseButton->setEnabled(!busy);
    acceptCheck->setEnabled(!busy);
    langPopup->setEnabled(!busy);
}

void MainWindowController::showFailure(const QString &message)
{
    ITLog("FLOW: failure shown to user: %@", message);
    showFailedMainScreen(message);
    alert(message, 2);
}

// Back to the main screen after a failure: Retry in place of Install, the agree row gone.
void MainWindowController::showFailedMainScreen(const QString &message)
{
    endActivityHold();
    showInstallView(false);
    hideAgreeRow();
    statusLabel->setText(L().installFailed);
    detailLabel->setText(message);
    setBusy(false);
    installButton->setTitle(L().btnRetry);
}

void MainWindowController::setInstallStatus(const QString &status, const QString &pct)
{
    instStatus->setText(pct.isEmpty() ? status : ITFormat("%@  %@", status, pct));
}

// Called only while no attempt runs, so every partial file of destFile is an orphan.
void MainWindowController::discardResumeData()
{
    pendingResumeData.reset();
    removeStalePartials(destFile);
}
