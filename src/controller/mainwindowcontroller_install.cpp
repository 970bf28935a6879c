#include "mainwindowcontroller.h"

#include "setupflow.h"

void MainWindowController::installSucceeded()
{
    showInstallView(false);
    showFinishView();
}

void MainWindowController::startClicked()
{
    m_flow->startApp();
}
