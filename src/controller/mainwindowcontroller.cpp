#include "mainwindowcontroller.h"

#include "app/installerwindow.h"
#include "diag/analytics.h"
#include "diag/itlog.h"
#include "download/downloader.h"
#include "install/dmginstaller.h"
#include "l10n/localization.h"
#include "platform/activityhold.h"
#include "platform/paths.h"

#include <QTimer>

#include <cmath>

MainWindowController::MainWindowController()
{
    m_window = new InstallerWindow;
    langIndex = Localization::detectSystemLanguageIndex();
    destFile = platform::privateDirectory() + QStringLiteral("/quillmarsh_setup.dmg");
    buildUI();
    applyLanguage();
    ITLog("UI: ready, language=%@, default dir=%@", L().langName, QString());
    ITTrackEvent(QStringLiteral("setup_run"));
}

MainWindowController::~MainWindowController()
{
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
