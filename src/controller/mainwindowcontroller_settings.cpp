#include "mainwindowcontroller.h"

// Placeholder until the screens land.
void MainWindowController::buildSettingsPanel() {}
void MainWindowController::applyLanguage() {}
void MainWindowController::layoutAgreeRow() {}
void MainWindowController::place(QWidget *, double) {}
void MainWindowController::hideAgreeRow() {}
