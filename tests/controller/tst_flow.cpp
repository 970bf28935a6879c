// The installer window over the setup flow: the real controller and window, a local HTTP
// server, real squashfs images of the sample product, the real log and analytics. The flow's
// decisions have their own test (tst_setupflow); this one checks what the user sees and does.
#include "controller/mainwindowcontroller.h"
#include "controller/setupflow.h"
#include "diag/itformat.h"
#include "flowfixture.h"
#include "install/desktopentry.h"
#include "l10n/localization.h"
#include "testmain.h"
#include "ui/flippedview.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace controller;
using namespace download;
using namespace install;
using namespace l10n;
using namespace ui;

using namespace testsupport;
using flowtest::privateDirEmpty;
using flowtest::sampleImage;

class TestFlow : public QObject
{
    Q_OBJECT

    flowtest::Fixture m_f;
    std::unique_ptr<MainWindowController> c;
    int m_terminated = 0;
    QStringList m_opened; // URLs handed to the browser
    QTemporaryDir m_tmp;
    const QString m_probe = m_tmp.filePath("probe"); // the sample app writes it when started

    template <typename T> T *view(const char *name) const
    {
        T *w = c->window()->findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("no view %s", name);
        return w;
    }
    QString text(const char *label) const { return view<QLabel>(label)->text(); }
    RoundedButton *installButton() const { return view<RoundedButton>("installButton"); }
    bool shown(const char *name) const { return view<QWidget>(name)->isVisible(); }

    // Clicks the named button of the exit question as soon as it is up; first runs meanwhile.
    void answerExitQuestion(const QString &button, std::function<void()> meanwhile = {})
    {
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [=, this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->objectName() != "exitQuestion")
                return;
            poll->stop();
            poll->deleteLater();
            QCOMPARE(box->informativeText(), ITFormat(c->L().exitConfirm, "Quillmarsh"));
            QStringList titles;
            for (QAbstractButton *b : box->buttons())
                titles << b->text();
            titles.sort();
            QCOMPARE(titles, (QStringList{"Cancel", "OK"})); // in every language
            if (meanwhile)
                meanwhile();
            for (QAbstractButton *b : box->buttons())
                if (b->text() == button)
                    b->click();
        });
        poll->start(5);
    }

    QMessageBox *alertBox() const { return c->window()->findChild<QMessageBox *>("alert"); }
    void install() { QTest::mouseClick(installButton(), Qt::LeftButton); }

    void expectInstalled()
    {
        QTRY_COMPARE_WITH_TIMEOUT(c->flow()->state(), SetupFlow::State::Finished, 20000);
        QCOMPARE(view<QProgressBar>("progress")->value(), 1000);
        QVERIFY(shown("finishView") && !shown("installView"));
        QCOMPARE(c->flow()->installedApp(), QDir::homePath() + "/Applications/Quillmarsh.app");
        QCOMPARE(QProcess::execute("diff", {"-r", c->flow()->installedApp(), QM_SAMPLE_APP}), 0);
    }

    void expectClosed()
    {
        QTRY_VERIFY(!c->window()->isVisible());
        QTRY_COMPARE(m_terminated, 1);
        c->flow()->shutdown(); // waits for the install's detach
        QTRY_VERIFY(privateDirEmpty());
    }

public slots:
    void openUrl(const QUrl &url) { m_opened << url.toString(); }

private slots:
    void initTestCase()
    {
        QDesktopServices::setUrlHandler("http", this, "openUrl");
        qputenv("QUILLMARSH_SAMPLE_PROBE", m_probe.toUtf8());
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("http"); }

    void init()
    {
        QFile::remove(m_probe);
        QDir(QDir::homePath() + "/Applications/Quillmarsh.app").removeRecursively();
        m_f.start();
        m_terminated = 0;
        m_opened.clear();
        c = std::make_unique<MainWindowController>(m_f.parts(0.01));
        c->setTerminateHook([this] { ++m_terminated; });
        c->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(c->window()));
    }

    void cleanup()
    {
        if (c)
            c->flow()->shutdown();
        c.reset();
        m_f.stop();
        QDir(QDir::homePath() + "/Applications/Quillmarsh.app").removeRecursively();
        QFile::remove(install::menuEntryPath());
    }

    // What a crashed run leaves: a partial download, the image, a live mount (a space in its
    // name, which the mount table escapes), a staging copy.
    void staleLeftoversClearedAtStart()
    {
        c.reset();
        const QString dir = platform::privateDirectory();
        QVERIFY(QDir().mkpath(dir + "/mount x1") &&
                QDir().mkpath(dir + "/stage-x2/Quillmarsh.app"));
        QFile(dir + "/quillmarsh_setup.dmg.part-abc").open(QIODevice::WriteOnly);
        QVERIFY(QFile::copy(sampleImage(), dir + "/quillmarsh_setup.dmg"));
        if (QProcess::execute("squashfuse", {dir + "/quillmarsh_setup.dmg", dir + "/mount x1"}) !=
            0)
            QSKIP("no FUSE here");
        c = std::make_unique<MainWindowController>(m_f.parts(0.01));
        QVERIFY(privateDirEmpty());
        QTRY_VERIFY(m_f.log().contains("FLOW: removed 4 leftover item(s)"));
    }

    // A download that fails for good shows the failed main screen; then either Retry installs
    // and Start Now runs the app, or the offline link opens the image and quits unasked.
    void failedThenRetryOrOffline_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("offline");
        QTest::newRow("404, then Retry") << 404 << false;
        QTest::newRow("410, then the offline link") << 410 << true;
    }
    void failedThenRetryOrOffline()
    {
        QFETCH(int, status);
        QFETCH(bool, offline);
        m_f.server->enqueue(HttpResponse::make(status, "no\n"));
        QStringList expected{"setup_run", "install_start",
                             QString("install_failed:download_error_http_%1").arg(status)};
        install();
        QTRY_VERIFY(shown("offlineLink"));
        QCOMPARE(text("statusLabel"), c->L().installFailed);
        QCOMPARE(text("detailLabel"), QString("Server returned HTTP %1").arg(status));
        QCOMPARE(installButton()->title(), c->L().btnRetry);
        QVERIFY(!shown("acceptCheck") && !shown("installView"));
        QVERIFY(installButton()->isEnabled() && !alertBox());
        if (offline) {
            QTest::mouseClick(view<LinkLabel>("offlineLink"), Qt::LeftButton);
            QCOMPARE(m_opened, QStringList{c->flow()->installerURL()});
            expectClosed(); // no question asked: it would block here
            expected << "offline_download";
            QTRY_VERIFY(m_f.eventsAre(expected));
            return;
        }
        install();
        QVERIFY(shown("installView") && !view<QWidget>("langPopup")->isEnabled());
        QVERIFY(text("statusLabel").isEmpty() && !shown("offlineLink"));
        expectInstalled();
        expected << "install_start"
                 << "install_success";
        QTRY_VERIFY(m_f.eventsAre(expected));
        QCOMPARE(text("instStatus"), c->L().installingWait + "  100%");
        QTest::mouseClick(view<RoundedButton>("startButton"), Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(m_probe));
        expectClosed();
    }

    // A confirmed exit during the download cancels it first ("Cancelling...") and closes the
    // window once it is back; with nothing to cancel it closes at once (below).
    void exitConfirmedDuringDownload()
    {
        HttpResponse stalled = TestHttpServer::fileResponse({}, sampleImage());
        stalled.stallAfter = 100;
        m_f.server->enqueue(stalled);
        c = std::make_unique<MainWindowController>(m_f.parts(1.0)); // no stall timeout meanwhile
        c->setTerminateHook([this] { ++m_terminated; });
        c->window()->show();
        install();
        QTRY_VERIFY(m_f.server->requestCount() == 1 &&
                    c->flow()->state() == SetupFlow::State::Downloading);
        answerExitQuestion("OK");
        QVERIFY(!c->window()->close());
        QCOMPARE(text("instStatus"), c->L().cancelling);
        expectClosed();
        QTRY_VERIFY(
            m_f.eventsAre({"setup_run", "setup_run", "install_start", "install_cancelled"}));
    }

    // Each language relabels the screen and logs its own name; then, in the last one, Cancel on
    // the exit question keeps the installer open and OK closes it.
    void languageChangeAndExitQuestion()
    {
        const QList<UIStrings> &all = Localization::all();
        auto *popup = view<QComboBox>("langPopup");
        for (qsizetype i = 0; i < all.size(); ++i) {
            popup->setCurrentIndex(int(i));
            emit popup->activated(int(i));
            QCOMPARE((QStringList{installButton()->title(), view<QCheckBox>("acceptCheck")->text(),
                                  view<QPushButton>("browseButton")->text()}),
                     (QStringList{all[i].btnInstall, all[i].readAgreed, all[i].browse}));
            QTRY_VERIFY(m_f.log().contains("UI: language changed to " + all[i].langName));
        }
        answerExitQuestion("Cancel");
        QVERIFY(!c->window()->close());
        QVERIFY(c->window()->isVisible());
        answerExitQuestion("OK");
        QVERIFY(c->window()->close());
        expectClosed();
        QVERIFY(m_f.eventsAre({"setup_run"}));
    }

    void blankLocationOpensSettings()
    {
        const QRect before = c->window()->geometry();
        view<QLineEdit>("locationField")->setText(" \t ");
        install();
        QVERIFY(shown("settingsPanel"));
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        QVERIFY(alertBox() && alertBox()->isVisible());
        QCOMPARE(alertBox()->informativeText(), c->L().chooseLocation);
        QCOMPARE(alertBox()->icon(), QMessageBox::Warning);
        alertBox()->buttons().first()->click();
        install(); // the open panel stays open
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        c->settingsClicked();
        QCOMPARE(c->window()->geometry(), before);
        QCOMPARE(m_f.server->requestCount(), 0);
    }

    // A download that cannot be used: an image that does not mount (with an alert), or one
    // that cannot be verified (the message alone, in the interface language); nothing of it
    // is kept either way.
    void unusableImageFails_data()
    {
        // clang-format off
        QTest::addColumn<bool>("signedBuild"); // then the .sig is missing
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("event");
        QTest::newRow("does not mount") << false << 0 << "Could not mount the disk image."
                                        << "install_failed:copy_error";
        QTest::newRow("not verified, in German") << true << 1
            << "Der Download konnte nicht überprüft werden. Bitte versuchen Sie es erneut."
            << "install_failed:image_unverified";
        // clang-format on
    }
    void unusableImageFails()
    {
        QFETCH(bool, signedBuild);
        QFETCH(int, language);
        QFETCH(QString, message);
        QFETCH(QString, event);
        const UIStrings &L = Localization::all().at(language);
        auto *popup = view<QComboBox>("langPopup");
        popup->setCurrentIndex(language);
        emit popup->activated(language);
        QTemporaryDir keys;
        if (signedBuild) {
            SetupFlow::Parts parts = m_f.parts(0.01);
            parts.imagePublicKey = testsupport::makeEd25519Key(keys.filePath("key.pem"));
            QVERIFY(!parts.imagePublicKey.isEmpty());
            c = std::make_unique<MainWindowController>(std::move(parts));
            c->setTerminateHook([this] { ++m_terminated; });
            c->window()->show();
            popup = view<QComboBox>("langPopup");
            popup->setCurrentIndex(language);
            emit popup->activated(language);
        }
        m_f.server->enqueue(signedBuild ? HttpResponse::make(404, "no\n")
                                        : HttpResponse::make(200, QByteArray(8192, 'x')));
        install();
        QTRY_COMPARE_WITH_TIMEOUT(text("detailLabel"), message, 20000);
        QCOMPARE(text("statusLabel"), L.installFailed);
        QVERIFY(!shown("offlineLink") && installButton()->isEnabled());
        QCOMPARE(installButton()->title(), L.btnRetry);
        QTRY_COMPARE(alertBox() != nullptr, !signedBuild);
        if (!signedBuild)
            QVERIFY(alertBox()->informativeText() == message &&
                    alertBox()->icon() == QMessageBox::Critical);
        QStringList events{"setup_run", "install_start", event};
        if (signedBuild) // a second window, made with the key
            events.prepend("setup_run");
        QTRY_VERIFY(m_f.eventsAre(events));
        c->flow()->shutdown(); // waits for the install's detach
        QVERIFY(!QFile::exists(c->flow()->destFile()) && privateDirEmpty());
    }
};

QM_TEST_MAIN(TestFlow)
#include "tst_flow.moc"
