#include "mainwindowcontroller.h"

// Placeholder until the screens land.
void MainWindowController::buildInstallView() {}
void MainWindowController::buildFinishView() {}
void MainWindowController::showInstallView(bool) {}
void MainWindowController::setSlide(qint64) {}
void MainWindowController::restartSlideTimer() {}
void MainWindowController::advanceSlide() {}
void MainWindowController::showFinishView() {}
