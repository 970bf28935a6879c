#include "mainwindowcontroller.h"

#include "ui/installerwindow.h"
#include "diag/analytics.h"
#include "diag/itlog.h"
#include "download/downloader.h"
#include "install/dmginstaller.h"
#include "l10n/localization.h"
#include "platform/activityhold.h"
#include "platform/paths.h"

#include <QLineEdit>
#include <QTimer>

#include <cmath>

MainWindowController::MainWindowController()
{
    m_window = new InstallerWindow;
    m_window->center();
    // Every close request, whatever its source, passes the one close decision.
    m_window->shouldClose = [this] { return windowShouldClose(); };
    m_window->willClose = [this] { windowWillClose(); };

    langIndex = Localization::detectSystemLanguageIndex();
    destFile = platform::privateDirectory() + QStringLiteral("/quillmarsh_setup.dmg");
    buildUI();
    applyLanguage();
    ITLog("UI: ready, language=%@, default dir=%@", L().langName, locationField->text());
    ITTrackEvent(QStringLiteral("setup_run"));
    // A run that crashed may have left an image, a partial download or a mount behind.
    clearLeftovers();
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
    return Localization::all().at(langIndex);
}

int MainWindowController::scaledMs(double seconds) const
{
    return static_cast<int>(std::lround(seconds * 1000.0 * m_timeScale));
}
