#include "mainwindowcontroller.h"

#include "setupflow.h"

#include "config.h"
#include "diag/itlog.h"
#include "ui/flippedview.h"
#include "ui/installerwindow.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QUrl>

namespace controller {

namespace {

constexpr int kSettingsHeight = 148;
constexpr int kRootHeightOpen = 516;
constexpr int kRootHeightClosed = 368;

QString webURL(const char *path)
{
    return QStringLiteral(QUILLMARSH_WEB_BASE_URL) + QLatin1String(path);
}

} // namespace

void MainWindowController::installClicked()
{
    if (!installButton->isEnabled())
        return;
    if (m_flow->state() == SetupFlow::State::Finished) {
        performClose();
        return;
    }
    if (!SetupFlow::trimmedLocation(locationField->text()).isEmpty()) {
        m_flow->install(locationField->text());
        return;
    }
    if (!settingsShown)
        settingsClicked();
    alert(L().chooseLocation, QMessageBox::Warning);
}

void MainWindowController::acceptToggled()
{
    installButton->setEnabled(acceptCheck->checkState() == Qt::Checked);
}

void MainWindowController::privacyClicked()
{
    openURL(webURL("/privacy/"));
}

void MainWindowController::licenseClicked()
{
    openURL(webURL("/user-license-agreement/"));
}

void MainWindowController::openURL(const QString &url)
{
    QDesktopServices::openUrl(QUrl(url));
}

void MainWindowController::offlineClicked()
{
    m_flow->chooseOfflineInstaller();
    openURL(m_flow->installerURL());
    performClose();
}

void MainWindowController::settingsClicked()
{
    settingsShown = !settingsShown;
    // The window grows or shrinks at its bottom edge; the top edge stays where it is.
    QRect frame = m_window->geometry();
    if (settingsShown) {
        settingsPanel->show();
        frame.setHeight(frame.height() + kSettingsHeight);
    } else {
        frame.setHeight(frame.height() - kSettingsHeight);
        settingsPanel->hide();
    }
    m_window->setFrame(frame);
    root->setGeometry(0, 0, root->width(), settingsShown ? kRootHeightOpen : kRootHeightClosed);
    root->update();
}

void MainWindowController::languageChanged()
{
    m_flow->setLanguage(langPopup->currentIndex());
    ITLog("UI: language changed to %@", L().langName);
    applyLanguage();
}

void MainWindowController::browseClicked()
{
    QFileDialog dialog(m_window, L().selectFolder);
    dialog.setObjectName(QStringLiteral("folderPicker"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (!locationField->text().isEmpty())
        dialog.setDirectory(locationField->text());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = dialog.selectedFiles().constFirst();
    locationField->setText(path);
    ITLog("UI: install dir set to %@", path);
}

void MainWindowController::minimizeClicked()
{
    m_window->showMinimized();
}

} // namespace controller
