#include "mainwindowcontroller.h"
#include "ui/palette.h"

#include "diag/analytics.h"
#include "diag/itlog.h"
#include "install/dmginstaller.h"
#include "platform/launcher.h"

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>

namespace {

const QString kAppName = QStringLiteral("Quillmarsh.app");
constexpr int kInstallStart = 900;
constexpr int kCreepCeiling = 990;
constexpr int kCreepStep = 2;
constexpr double kCreepInterval = 0.5;

bool isSpaceOrTab(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

} // namespace

// Leading and trailing spaces and tabs go; line breaks stay, as they are part of what was typed.
QString MainWindowController::trimmedLocation(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpaceOrTab(text.at(begin)))
        ++begin;
    while (end > begin && isSpaceOrTab(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

void MainWindowController::launchInstaller()
{
    const QString folder = trimmedLocation(locationField->text());
    ITLog("FLOW: installing %@ into %@", kAppName, folder);
    installing = true;

    progress->setRange(0, kProgressMax);
    progress->setValue(kInstallStart);
    setInstallStatus(L().installingWait, QStringLiteral("90%"));

    installTimer = new QTimer(this);
    connect(installTimer, &QTimer::timeout, this, &MainWindowController::creepInstall);
    installTimer->start(scaledMs(kCreepInterval));

    installer = DMGInstaller::create(destFile, kAppName, folder);
    if (installerSetup)
        installerSetup(*installer);
    installer->onStatus = [](InstallStage stage) {
        ITLog("INST: stage %@", installStageName(stage));
    };
    QPointer<MainWindowController> self(this);
    installer->onComplete = [self](const InstallResult &result) {
        if (self)
            self->installFinished(result.status == InstallResult::Status::Installed, result.app,
                                  result.error);
    };
    installer->start();
}

void MainWindowController::creepInstall()
{
    if (progress->value() < kCreepCeiling)
        progress->setValue(progress->value() + kCreepStep);
    setInstallStatus(L().installingWait, ITFormat("%ld%%", qint64(progress->value() / 10)));
}

void MainWindowController::installFinished(bool success, const QString &app, const QString &error)
{
    if (installTimer) {
        installTimer->stop();
        installTimer->deleteLater();
        installTimer = nullptr;
    }
    installing = false;
    installer.reset();
    endActivityHold();
    // Deleted in both outcomes: a later Retry downloads the whole image again.
    QFile::remove(destFile);

    if (success) {
        ITLog("FLOW: install SUCCESS, app=%@", app);
        ITTrackEvent(QStringLiteral("install_success"));
        installedApp = app;
        progress->setValue(progress->maximum());
        setInstallStatus(L().installingWait, QStringLiteral("100%"));
        done = true;
        showInstallView(false);
        showFinishView();
        return;
    }
    ITLog("FLOW: install FAILED: %@", error);
    ITTrackEvent(QStringLiteral("install_failed"), QStringLiteral("copy_error"));
    showFailure(error);
}

void MainWindowController::startClicked()
{
    if (!installedApp.isEmpty()) {
        ITLog("FLOW: Start Now, launching %@", installedApp);
        platform::launchApplication(installedApp);
    }
    performClose();
}
