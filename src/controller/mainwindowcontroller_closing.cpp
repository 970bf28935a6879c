#include "mainwindowcontroller.h"

#include "ui/installerwindow.h"
#include "diag/itformat.h"
#include "diag/itlog.h"
#include "download/downloader.h"
#include "install/dmginstaller.h"
#include "platform/leftovers.h"
#include "platform/paths.h"
#include "platform/worker.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

const QString kProductName = QStringLiteral("Quillmarsh");
constexpr int kDetachWaitMs = 10000;
constexpr int kCancelWaitMs = 3000;

} // namespace

void MainWindowController::alert(const QString &message, unsigned style)
{
    auto *box = new QMessageBox(m_window);
    box->setObjectName(QStringLiteral("alert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(style == 2 ? QMessageBox::Critical : QMessageBox::Warning);
    box->setText(kProductName);
    box->setInformativeText(message);
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

void MainWindowController::refuseCloseWhileInstalling()
{
    ITLog("UI: close blocked, install in progress");
    setInstallStatus(L().installInProgress, QString());
}

bool MainWindowController::askExitQuestion()
{
    QMessageBox box(m_window);
    box.setObjectName(QStringLiteral("exitQuestion"));
    box.setIcon(QMessageBox::Warning);
    box.setText(kProductName);
    box.setInformativeText(ITFormat(L().exitConfirm, kProductName));
    // Fixed English titles in every language.
    QPushButton *ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return box.clickedButton() == ok;
}

bool MainWindowController::windowShouldClose()
{
    if (installing) {
        refuseCloseWhileInstalling();
        return false;
    }
    if (done || closing)
        return true;

    if (!askExitQuestion())
        return false;
    // The question runs its own event loop: a download may have finished meanwhile and started
    // the install stage, which must not be cut off.
    if (installing) {
        refuseCloseWhileInstalling();
        return false;
    }

    closing = true;
    ITLog("UI: user confirmed exit");
    if (retryTimer) {
        retryTimer->stop();
        retryTimer->deleteLater();
        retryTimer = nullptr;
    }
    if (!downloader)
        return true;
    downloader->cancel();
    setInstallStatus(L().cancelling, QString());
    return false;
}

void MainWindowController::windowWillClose()
{
    endActivityHold();
    // A second close while "Cancelling..." is shown lands here before the cancelled attempt
    // has come back; its worker must not outlive the process's orderly end.
    if (downloader)
        downloader->cancel();
    platform::waitForWorkers(platform::WorkerKind::Download, QDeadlineTimer(kCancelWaitMs));
    // After a finished install the worker may still be detaching the image; let it, so that
    // the clean-up never races a live mount.
    platform::waitForWorkers(platform::WorkerKind::Install, QDeadlineTimer(kDetachWaitMs));
    clearLeftovers();
    if (terminateHook)
        terminateHook();
    else
        QCoreApplication::quit();
}

void MainWindowController::performClose()
{
    m_window->close();
}

// Everything the flow keeps in the private folder (image, partial download, mount points,
// staging copies) is disposable once nothing runs; a crashed earlier run leaves the same kinds.
void MainWindowController::clearLeftovers()
{
    const QString dir = platform::privateDirectory();
    if (dir.isEmpty() || !destFile.startsWith(dir + u'/'))
        return;
    const int removed = platform::clearFolder(dir);
    if (removed > 0)
        ITLog("FLOW: removed %d leftover item(s) from %@", removed, dir);
}
