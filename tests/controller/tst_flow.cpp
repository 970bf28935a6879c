// The installer window over the setup flow, end to end: the real controller, window and stages,
// a local HTTP server, real squashfs images of the sample product, the real log and analytics.
// The flow's decisions have their rows in tst_setupflow; these are the roads a user takes
// through the window, each to its end.
#include "controller/mainwindowcontroller.h"
#include "controller/setupflow.h"
#include "diag/analytics.h"
#include "diag/itformat.h"
#include "install/desktopentry.h"
#include "l10n/localization.h"
#include "platform/cpu.h"
#include "platform/paths.h"
#include "testhttpserver.h"
#include "testkeys.h"
#include "testmain.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

using namespace controller;
using namespace download;
using namespace install;
using namespace l10n;
using namespace ui;

#if defined(__SANITIZE_THREAD__)
// Start Now launches the app with QProcess::startDetached, whose child shares the parent's memory
// until it execs; ThreadSanitizer then takes the parent for a forked child and kills it at its
// next thread start. No code of ours runs in a forked child.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}
#endif

using namespace testsupport;

namespace {

const QString kImage = QM_SAMPLE_IMAGE_DIR +
                       QString(platform::isArm64() ? "/quillmarsh.silicon.dmg" : "/quillmarsh.dmg");

QString installedApp()
{
    return QDir::homePath() + "/Applications/Quillmarsh.app";
}

bool privateDirEmpty()
{
    return QDir(platform::privateDirectory())
        .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server; // queued answers first, then the image files
    TestHttpServer m_ga; // analytics posts (that they reach both endpoints is tst_diag's)
    qint64 m_logStart = 0;
    std::unique_ptr<MainWindowController> c;
    int m_terminated = 0;
    QStringList m_opened; // URLs handed to the browser
    QTemporaryDir m_tmp;
    const QString m_probe = m_tmp.filePath("probe"); // the sample app writes it when started
    QString m_question; // the text and button titles of the last exit question

    // The flow as the application makes it, against the local server, its timers scaled; no sleep
    // inhibitor (no system bus), images unchecked unless a row gives a key.
    void makeWindow(double timeScale = 0.01, const QByteArray &imageKey = {})
    {
        SetupFlow::Parts parts = SetupFlow::standardParts(platform::privateDirectory());
        parts.downloadBaseURL = m_server->url(QString());
        parts.timeScale = timeScale;
        parts.keepAwake = false;
        parts.imagePublicKey = imageKey;
        c = std::make_unique<MainWindowController>(std::move(parts));
        c->setTerminateHook([this] { ++m_terminated; });
        c->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(c->window()));
    }

    template <typename T = QWidget> T *view(const char *name) const
    {
        return c->window()->findChild<T *>(QLatin1String(name));
    }
    QString text(const char *label) const { return view<QLabel>(label)->text(); }
    bool shown(const char *name) const { return view(name)->isVisible(); }
    void install() { QTest::mouseClick(view<RoundedButton>("installButton"), Qt::LeftButton); }
    // The open alert as "icon text"; empty when there is none.
    QString alert() const
    {
        auto *box = c->window()->findChild<QMessageBox *>("alert");
        return box ? QString("%1 %2").arg(box->icon()).arg(box->informativeText()) : QString();
    }

    // Clicks the named button of the exit question the next close asks.
    void answerExitQuestion(const QString &button)
    {
        QTimer::singleShot(0, this, [=, this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QStringList titles;
            for (QAbstractButton *b : box->buttons())
                titles << b->text();
            titles.sort();
            m_question = box->informativeText() + " [" + titles.join(' ') + ']';
            for (QAbstractButton *b : box->buttons())
                if (b->text() == button)
                    b->click();
        });
    }

    void expectClosed()
    {
        QTRY_VERIFY(!c->window()->isVisible());
        QTRY_COMPARE(m_terminated, 1);
        c->flow()->shutdown(); // waits for the install's detach
        QTRY_VERIFY(privateDirEmpty());
    }

    QString log() const
    {
        QFile f(platform::logsDirectory() + "/quillmarsh-installer.log");
        return f.open(QIODevice::ReadOnly) && f.seek(m_logStart) ? QString::fromUtf8(f.readAll())
                                                                 : QString();
    }

    // The analytics events sent, as the log has them: "name:reason", in order. (Which event a
    // failure sends is tst_setupflow's.)
    QStringList events() const
    {
        static const QRegularExpression line("GA: event (\\S+) reason=\"([^\"]*)\"");
        QStringList sent;
        for (const QRegularExpressionMatch &m : line.globalMatch(log()))
            sent << m.captured(1) + (m.captured(2).isEmpty() ? "" : ':' + m.captured(2));
        return sent;
    }

public slots:
    void openUrl(const QUrl &url) { m_opened << url.toString(); }

private slots:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler("http", this, "openUrl");
        qputenv("QUILLMARSH_SAMPLE_PROBE", m_probe.toUtf8());
        AnalyticsConfig config = ITDefaultAnalyticsConfig();
        config.baseUrl = m_ga.url(QString());
        ITSetAnalyticsConfig(config);
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("http"); }

    void init()
    {
        QFile::remove(m_probe);
        m_server = std::make_unique<TestHttpServer>();
        m_server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        m_logStart = QFileInfo(platform::logsDirectory() + "/quillmarsh-installer.log").size();
        m_terminated = 0;
        m_opened.clear();
    }

    void cleanup()
    {
        if (c)
            c->flow()->shutdown();
        c.reset();
        m_server.reset();
        QDir(installedApp()).removeRecursively();
        QFile::remove(install::menuEntryPath());
    }

    // What a crashed run leaves goes when the window is made: here a live mount of the image
    // (a space in its name, which the mount table escapes) and a staging copy.
    void leftoversClearedAtStart()
    {
        const QString dir = platform::privateDirectory();
        QVERIFY(QDir().mkpath(dir + "/mount x1") &&
                QDir().mkpath(dir + "/stage-x2/Quillmarsh.app"));
        if (QProcess::execute("squashfuse", {kImage, dir + "/mount x1"}) != 0)
            QSKIP("no FUSE here");
        makeWindow();
        QVERIFY(privateDirEmpty());
        QTRY_VERIFY(log().contains("FLOW: removed 2 leftover item(s)"));
    }

    // Roads through a failure: the failed main screen in the window's language, with the alert
    // and the offline link the failure asks for; then Retry to the end and Start Now, or the
    // offline link, which quits unasked, or a confirmed exit.
    void failure_data()
    {
        // clang-format off
        QTest::addColumn<QString>("answer"); // the server's: a status, "garbage" (no image) or "sig 404"
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("message"); // on the detail line, and in the alert if any
        QTest::addColumn<bool>("offline");    // the offline link is shown
        QTest::addColumn<bool>("alerted");
        QTest::addColumn<QString>("then");
        QTest::newRow("404, then Retry and Start Now") << "404" << 0 << "Server returned HTTP 404" << true << false << "retry";
        QTest::newRow("410, then the offline link") << "410" << 0 << "Server returned HTTP 410" << true << false << "offline";
        QTest::newRow("does not mount, then exit") << "garbage" << 0 << "Could not mount the disk image." << false << true << "exit";
        QTest::newRow("not verified, in German, then exit") << "sig 404" << 1
            << "Der Download konnte nicht überprüft werden. Bitte versuchen Sie es erneut." << false << false << "exit";
        // clang-format on
    }
    void failure()
    {
        QFETCH(QString, answer);
        QFETCH(int, language);
        QFETCH(QString, message);
        QFETCH(bool, offline);
        QFETCH(bool, alerted);
        QFETCH(QString, then);
        QTemporaryDir keys;
        const QByteArray key =
            answer == "sig 404" ? makeEd25519Key(keys.filePath("key.pem")) : QByteArray();
        makeWindow(0.01, key);
        auto *popup = view<QComboBox>("langPopup");
        popup->setCurrentIndex(language);
        emit popup->activated(language);
        const UIStrings &L = Localization::all().at(language);
        QTRY_VERIFY(log().contains("UI: language changed to " + L.langName));
        m_server->enqueue(answer == "garbage" ? HttpResponse::make(200, QByteArray(8192, 'x'))
                                              : HttpResponse::make(answer.right(3).toInt(), "no"));
        install();
        QTRY_COMPARE_WITH_TIMEOUT(text("detailLabel"), message, 20000);
        QCOMPARE(text("statusLabel"), L.installFailed);
        QCOMPARE(view<RoundedButton>("installButton")->title(), L.btnRetry);
        QVERIFY(!shown("acceptCheck") && !shown("installView"));
        QVERIFY(view("installButton")->isEnabled());
        QCOMPARE(shown("offlineLink"), offline);
        QCOMPARE(alert(), alerted ? QString("%1 %2").arg(QMessageBox::Critical).arg(message) : "");

        if (then == "offline") {
            QTest::mouseClick(view<LinkLabel>("offlineLink"), Qt::LeftButton);
            QCOMPARE(m_opened, QStringList{c->flow()->installerURL()});
            expectClosed(); // no question asked: it would block here
            QTRY_VERIFY(events().contains("offline_download"));
        } else if (then == "exit") {
            answerExitQuestion("OK");
            QVERIFY(c->window()->close());
            // Its own words in the window's language, and OK and Cancel in every language.
            QCOMPARE(m_question, ITFormat(L.exitConfirm, "Quillmarsh") + " [Cancel OK]");
            expectClosed();
        } else { // Cancel keeps the window; Retry runs to the end, and Start Now closes it
            answerExitQuestion("Cancel");
            QVERIFY(!c->window()->close() && c->window()->isVisible());
            install();
            QVERIFY(shown("installView") && !view("langPopup")->isEnabled());
            QVERIFY(text("statusLabel").isEmpty() && !shown("offlineLink"));
            QTRY_COMPARE_WITH_TIMEOUT(c->flow()->state(), SetupFlow::State::Finished, 20000);
            QVERIFY(shown("finishView") && !shown("installView"));
            QCOMPARE(view<QProgressBar>("progress")->value(), 1000);
            QCOMPARE(text("instStatus"), L.installingWait + "  100%");
            QCOMPARE(c->flow()->installedApp(), installedApp());
            QCOMPARE(QProcess::execute("diff", {"-r", installedApp(), QM_SAMPLE_APP}), 0);
            QTest::mouseClick(view<RoundedButton>("startButton"), Qt::LeftButton);
            QTRY_VERIFY(QFile::exists(m_probe));
            expectClosed();
        }
    }

    // A confirmed exit during the real download cancels it first and closes the window once the
    // download is back.
    void exitDuringDownload()
    {
        HttpResponse stalled = TestHttpServer::fileResponse({}, kImage);
        stalled.stallAfter = 100;
        m_server->enqueue(stalled);
        makeWindow(1.0); // no stall timeout meanwhile
        install();
        QTRY_VERIFY(m_server->requestCount() == 1 &&
                    c->flow()->state() == SetupFlow::State::Downloading);
        answerExitQuestion("OK");
        QVERIFY(!c->window()->close()); // it waits for the download
        expectClosed();
        QTRY_COMPARE(events(), QStringList({"setup_run", "install_start", "install_cancelled"}));
    }

    // A blank location opens the settings panel with a warning, and nothing is downloaded;
    // Install again leaves the panel open.
    void blankLocationOpensSettings()
    {
        makeWindow();
        const QRect before = c->window()->geometry();
        view<QLineEdit>("locationField")->setText(" \t ");
        install();
        QCOMPARE(alert(), QString("%1 %2").arg(QMessageBox::Warning).arg(c->L().chooseLocation));
        c->window()->findChild<QMessageBox *>("alert")->buttons().first()->click();
        install();
        QVERIFY(shown("settingsPanel"));
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        QCOMPARE(m_server->requestCount(), 0);
    }
};

QM_TEST_MAIN(TestFlow)
#include "tst_flow.moc"
