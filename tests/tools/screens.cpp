// quillmarsh-screens OUTDIR: builds the installer window offscreen and writes pictures of its
// screens for the language of the environment (main, settings, install, failed, finish), plus
// the settings screen in each of the nine languages. A development tool, not installed.
// Run with QT_SCALE_FACTOR=2 for 2x pictures.
//
// The views follow the setup flow's signals alone, so the tool shows each screen by sending
// what the flow would send at that moment; nothing is downloaded or installed.
#include "controller/mainwindowcontroller.h"
#include "l10n/localization.h"
#include "ui/installerwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>

#include <curl/curl.h>

#include <cstdio>

using namespace controller;
using namespace download;
using namespace install;
using namespace l10n;
using namespace ui;

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    curl_global_init(CURL_GLOBAL_DEFAULT); // the window sends its analytics event
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    MainWindowController c(SetupFlow::standardParts(QString()));
    SetupFlow *flow = c.flow();
    bool ok = true;
    const auto save = [&](const QString &name) {
        QApplication::processEvents();
        const QString path = dir + u'/' + name + QStringLiteral(".png");
        if (!c.window()->grab().save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ok = false;
        }
    };
    // The language chosen the way the user chooses it: in the pop-up.
    auto *popup = c.window()->findChild<QComboBox *>(QStringLiteral("langPopup"));
    const auto choose = [popup](int index) {
        popup->setCurrentIndex(index);
        emit popup->activated(index);
    };

    c.window()->show();
    save(QStringLiteral("main"));
    c.settingsClicked();
    save(QStringLiteral("settings"));
    const int ownLanguage = int(flow->language());
    for (int i = 0; i < Localization::all().size(); ++i) {
        choose(i);
        save(QStringLiteral("settings-") + Localization::all().at(i).code);
    }
    choose(ownLanguage);
    c.settingsClicked();

    emit flow->started();
    emit flow->progressChanged(450);
    emit flow->statusChanged(c.L().installingWait + QStringLiteral("  45%"));
    save(QStringLiteral("install"));
    emit flow->failed(SetupFlow::Failure::Download, c.L().netCertExpired); // the longest text
    save(QStringLiteral("failed"));
    emit flow->finished(QStringLiteral("/Applications/Quillmarsh.app"));
    save(QStringLiteral("finish"));
    return ok ? 0 : 1;
}
