#include "mainwindowcontroller.h"

#include "setupflow.h"

using namespace download;
using namespace install;
using namespace l10n;

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
