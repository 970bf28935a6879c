#include "mainwindowcontroller.h"

// Placeholder until the setup flow lands: every close is allowed.
void MainWindowController::alert(const QString &, unsigned) {}
bool MainWindowController::windowShouldClose() { return true; }
void MainWindowController::windowWillClose() {}
