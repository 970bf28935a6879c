#include "mainwindowcontroller.h"

// Placeholder until the setup flow lands.
void MainWindowController::installClicked() {}
void MainWindowController::acceptToggled() {}
void MainWindowController::privacyClicked() {}
void MainWindowController::licenseClicked() {}
void MainWindowController::settingsClicked() {}
void MainWindowController::offlineClicked() {}
void MainWindowController::languageChanged() {}
void MainWindowController::browseClicked() {}
void MainWindowController::minimizeClicked() {}
void MainWindowController::openURL(const QString &) {}
