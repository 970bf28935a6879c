// quillmarsh-screens OUTDIR: builds the installer window offscreen and writes pictures of its
// screens for the language of the environment (main, settings, install, failed, finish), plus
// the settings screen in each of the nine languages. A development tool, not installed.
// Run with QT_SCALE_FACTOR=2 for 2x pictures.
#include "ui/installerwindow.h"
#include "controller/mainwindowcontroller.h"
#include "l10n/localization.h"
#include "ui/flippedview.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <cstdio>

namespace {

bool save(InstallerWindow *window, const QString &dir, const QString &name)
{
    QApplication::processEvents();
    const QString path = dir + u'/' + name + QStringLiteral(".png");
    if (window->grab().save(path, "PNG"))
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

// The settings panel opened the way the settings link does it: the window grows downwards.
void openSettings(MainWindowController &c)
{
    c.settingsShown = true;
    QRect frame = c.window()->geometry();
    frame.setHeight(InstallerWindow::kHeight + 148);
    c.window()->setFrame(frame);
    c.root->setGeometry(0, 0, InstallerWindow::kWidth, 516);
    c.settingsPanel->show();
}

void closeSettings(MainWindowController &c)
{
    c.settingsShown = false;
    QRect frame = c.window()->geometry();
    frame.setHeight(InstallerWindow::kHeight);
    c.window()->setFrame(frame);
    c.root->setGeometry(0, 0, InstallerWindow::kWidth, InstallerWindow::kHeight);
    c.settingsPanel->hide();
}

void stopSlides(MainWindowController &c)
{
    if (c.slideTimer)
        c.slideTimer->stop();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    MainWindowController c;
    c.window()->show();
    bool ok = save(c.window(), dir, QStringLiteral("main"));

    openSettings(c);
    ok = save(c.window(), dir, QStringLiteral("settings")) && ok;
    const qint64 ownLanguage = c.langIndex;
    const QList<UIStrings> &langs = Localization::all();
    for (qint64 i = 0; i < langs.size(); ++i) {
        c.langIndex = i;
        c.langPopup->setCurrentIndex(int(i));
        c.applyLanguage();
        const QString code = langs.at(i).code.isEmpty() ? QString::number(i) : langs.at(i).code;
        ok = save(c.window(), dir, QStringLiteral("settings-") + code) && ok;
    }
    c.langIndex = ownLanguage;
    c.langPopup->setCurrentIndex(int(ownLanguage));
    c.applyLanguage();
    closeSettings(c);

    c.installButton->setEnabled(false);
    c.showInstallView(true);
    stopSlides(c);
    c.setSlide(1);
    c.progress->setValue(450);
    c.instStatus->setText(c.L().installingWait + QStringLiteral("  45%"));
    ok = save(c.window(), dir, QStringLiteral("install")) && ok;

    c.showInstallView(false);
    c.hideAgreeRow();
    c.installButton->setEnabled(true);
    c.statusLabel->setText(c.L().installFailed);
    c.detailLabel->setText(QStringLiteral("Could not connect to the server."));
    c.installButton->setTitle(c.L().btnRetry);
    c.offlineLink->show();
    ok = save(c.window(), dir, QStringLiteral("failed")) && ok;

    c.done = true;
    c.showFinishView();
    ok = save(c.window(), dir, QStringLiteral("finish")) && ok;

    return ok ? 0 : 1;
}
