#include "mainwindowcontroller.h"

#include "setupflow.h"

#include "diag/analytics.h"
#include "diag/itlog.h"
#include "l10n/localization.h"
#include "ui/dotsview.h"
#include "ui/flippedview.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

using namespace l10n;
using namespace ui;

namespace controller {

MainWindowController::MainWindowController(SetupFlow::Parts parts)
    : m_flow(new SetupFlow(std::move(parts), this))
{
    m_window = new InstallerWindow;
    m_window->center();
    // Every close request, whatever its source, passes the one close decision.
    m_window->shouldClose = [this] { return windowShouldClose(); };
    m_window->willClose = [this] { windowWillClose(); };

    m_flow->setLanguage(Localization::detectSystemLanguageIndex());
    buildUI();
    nameViews();
    applyLanguage();

    connect(m_flow, &SetupFlow::started, this, &MainWindowController::downloadStarted);
    connect(m_flow, &SetupFlow::progressChanged, this, &MainWindowController::showProgress);
    connect(m_flow, &SetupFlow::statusChanged, instStatus, &QLabel::setText);
    connect(m_flow, &SetupFlow::failed, this, &MainWindowController::showFailedMainScreen);
    connect(m_flow, &SetupFlow::finished, this, &MainWindowController::installSucceeded);
    connect(m_flow, &SetupFlow::closeWindow, this, &MainWindowController::performClose);

    ITLog("UI: ready, language=%@, default dir=%@", L().langName, locationField->text());
    ITTrackEvent(QStringLiteral("setup_run"));
    // A run that crashed may have left a mount or a staging copy behind; a download it did not
    // finish stays for Install to continue.
    m_flow->sweepLeftovers();
}

MainWindowController::~MainWindowController()
{
    if (m_window) {
        m_window->shouldClose = nullptr;
        m_window->willClose = nullptr;
    }
    delete m_window;
}

const UIStrings &MainWindowController::L() const
{
    return m_flow->L();
}

int MainWindowController::scaledMs(double seconds) const
{
    return m_flow->scaledMs(seconds);
}

void MainWindowController::nameViews()
{
    const QList<std::pair<QObject *, const char *>> views{
        {installButton, "installButton"}, {statusLabel, "statusLabel"},
        {detailLabel, "detailLabel"},     {offlineLink, "offlineLink"},
        {acceptCheck, "acceptCheck"},     {privacyLink, "privacyLink"},
        {licenseLink, "licenseLink"},     {settingsLink, "settingsLink"},
        {langPopup, "langPopup"},         {locationField, "locationField"},
        {browseButton, "browseButton"},   {progress, "progress"},
        {instStatus, "instStatus"},       {hideButton, "hideButton"},
        {startButton, "startButton"},     {slideTitle, "slideTitle"},
    };
    for (const auto &[view, name] : views)
        view->setObjectName(QLatin1String(name));
}

} // namespace controller
