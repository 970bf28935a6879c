#include "mainwindowcontroller.h"

#include "config.h"
#include "setupflow.h"

#include "diag/itformat.h"
#include "ui/installerwindow.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace controller {

namespace {

const QString kProductName = QStringLiteral(QUILLMARSH_PRODUCT_NAME);

} // namespace

void MainWindowController::alert(const QString &message, QMessageBox::Icon icon)
{
    auto *box = new QMessageBox(m_window);
    box->setObjectName(QStringLiteral("alert"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(icon);
    box->setText(kProductName);
    box->setInformativeText(message);
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box->setWindowModality(Qt::WindowModal);
    box->open();
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
    switch (m_flow->closeRequest()) {
    case SetupFlow::CloseDecision::Close:
        return true;
    case SetupFlow::CloseDecision::Refuse:
    case SetupFlow::CloseDecision::Wait:
        return false;
    case SetupFlow::CloseDecision::Ask:
        break;
    }
    if (!askExitQuestion())
        return false;
    return m_flow->confirmExit() == SetupFlow::CloseDecision::Close;
}

void MainWindowController::windowWillClose()
{
    m_flow->shutdown();
    if (m_terminateHook)
        m_terminateHook();
    else
        QCoreApplication::quit();
}

void MainWindowController::performClose()
{
    m_window->close();
}

} // namespace controller
