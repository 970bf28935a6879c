#include "mainwindowcontroller.h"

#include "setupflow.h"

namespace controller {

void MainWindowController::installSucceeded()
{
    showInstallView(false);
    showFinishView();
}

void MainWindowController::startClicked()
{
    m_flow->startApp();
}

} // namespace controller
