#include "mainwindowcontroller.h"

// Placeholder until the setup flow lands.
void MainWindowController::launchInstaller() {}
void MainWindowController::creepInstall() {}
void MainWindowController::installFinished(bool, const QString &, const QString &) {}
void MainWindowController::startClicked() {}
