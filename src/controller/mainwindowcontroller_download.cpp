#include "mainwindowcontroller.h"

#include "setupflow.h"

#include "diag/itlog.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

namespace controller {

// Install or Retry got under way: the inputs lock, an earlier failure's texts go.
void MainWindowController::downloadStarted()
{
    setBusy(true);
    statusLabel->setText(QString());
    detailLabel->setText(QString());
    offlineLink->hide();
    showInstallView(true);
}

void MainWindowController::showProgress(int value)
{
    if (value == SetupFlow::kIndeterminate) {
        progress->setRange(0, 0); // Qt animates a busy bar by itself
        return;
    }
    progress->setRange(0, SetupFlow::kProgressMax);
    progress->setValue(value);
}

void MainWindowController::setBusy(bool busy)
{
    installButton->setEnabled(!busy && acceptCheck->checkState() == Qt::Checked);
    locationField->setEnabled(!busy);
    browseButton->setEnabled(!busy);
    acceptCheck->setEnabled(!busy);
    langPopup->setEnabled(!busy);
}

// Back to the main screen after a failure: Retry in place of Install, the agree row gone.
// The offline image helps only when the download itself failed; a failed install also comes as
// an alert, which a short-of-space install shares.
void MainWindowController::showFailedMainScreen(SetupFlow::Failure failure, const QString &message)
{
    using Failure = SetupFlow::Failure;
    const bool offlineLinkShown =
        failure == Failure::Download || failure == Failure::NoPrivateFolder;
    const bool alerted = failure == Failure::Install || failure == Failure::NoSpaceInstall;
    showInstallView(false);
    hideAgreeRow();
    statusLabel->setText(L().installFailed);
    detailLabel->setText(message);
    setBusy(false);
    installButton->setTitle(L().btnRetry);
    offlineLink->setVisible(offlineLinkShown);
    if (alerted)
        alert(message, QMessageBox::Critical);
}

} // namespace controller
