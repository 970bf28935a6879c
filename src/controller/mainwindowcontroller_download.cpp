#include "mainwindowcontroller.h"

// Placeholder until the setup flow lands.
QString MainWindowController::installerURL() const { return {}; }
void MainWindowController::beginActivityHold() {}
void MainWindowController::endActivityHold() {}
void MainWindowController::startDownload() {}
void MainWindowController::launchDownload() {}
void MainWindowController::retryTimerTick() {}
void MainWindowController::downloadProgress(qint64, qint64) {}
void MainWindowController::downloadComplete(bool, const QString &) {}
void MainWindowController::setBusy(bool) {}
void MainWindowController::showFailure(const QString &) {}
void MainWindowController::setInstallStatus(const QString &, const QString &) {}
