// The setup flow end to end: the real controller and window, a local HTTP server, real
// squashfs images of the sample product mounted with squashfuse, the real log and analytics.
#include "ui/installerwindow.h"
#include "controller/mainwindowcontroller.h"
#include "diag/analytics.h"
#include "diag/itformat.h"
#include "install/dmginstaller.h"
#include "l10n/localization.h"
#include "platform/cpu.h"
#include "platform/paths.h"
#include "testhttpserver.h"
#include "ui/flippedview.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace testsupport;

namespace {

const QString kImage =
    QM_SAMPLE_IMAGE_DIR + QString(platform::isArm64() ? "/quillmarsh.silicon.dmg" : "/quillmarsh.dmg");

bool privateDirEmpty()
{
    return QDir(platform::privateDirectory())
        .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server; // the image: queued answers first, then the file
    std::unique_ptr<TestHttpServer> m_ga;     // analytics posts
    std::unique_ptr<MainWindowController> c;
    int m_terminated = 0;
    qint64 m_logStart = 0;
    QStringList m_opened; // URLs handed to the browser
    QSemaphore m_hold; // lets an install stage held by the test go on
    QTemporaryDir m_tmp;
    const QString m_probe = m_tmp.filePath("probe"); // the sample app writes it when started

    QString log() const
    {
        QFile f(platform::logsDirectory() + "/quillmarsh-installer.log");
        return f.open(QIODevice::ReadOnly) && f.seek(m_logStart) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // Sent in this order and received once on each endpoint (posts may overtake each other).
    bool eventsAre(const QStringList &expected) const
    {
        static const QRegularExpression line("GA: event (\\S+) reason=\"([^\"]*)\"");
        const auto tag = [](const QString &n, const QString &r) { return r.isEmpty() ? n : n + u':' + r; };
        QStringList logged, posted, twice;
        for (const QRegularExpressionMatch &m : line.globalMatch(log()))
            logged << tag(m.captured(1), m.captured(2));
        for (const HttpRequest &r : m_ga->requests()) {
            const QJsonValue e = QJsonDocument::fromJson(r.body)[u"events"][0];
            posted << QString(r.path()) + u' ' + tag(e[u"name"].toString(), e[u"params"][u"reason"].toString());
        }
        for (const QString &e : expected)
            twice << "/mp/collect " + e << "/debug/mp/collect " + e;
        posted.sort();
        twice.sort();
        return logged == expected && posted == twice;
    }

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
    void install() { QTest::mouseClick(c->installButton, Qt::LeftButton); }

    void expectInstalled()
    {
        QTRY_VERIFY_WITH_TIMEOUT(c->done, 20000);
        QCOMPARE(c->progress->value(), 1000);
        QVERIFY(c->finishView->isVisible() && !c->installView->isVisible());
        QCOMPARE(c->installedApp, QDir::homePath() + "/Applications/Quillmarsh.app");
        QCOMPARE(QProcess::execute("diff", {"-r", c->installedApp, QM_SAMPLE_APP}), 0);
        QVERIFY(QFileInfo(c->installedApp + "/AppRun").isExecutable());
        QVERIFY(!QFile::exists(c->destFile));
    }

    void expectClosed()
    {
        QTRY_VERIFY(!c->window()->isVisible());
        QTRY_COMPARE(m_terminated, 1);
        QVERIFY(DMGInstaller::waitForWorkers(10000));
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
        m_hold.acquire(m_hold.available());
        QFile::remove(m_probe);
        QDir(QDir::homePath() + "/Applications/Quillmarsh.app").removeRecursively();
        m_server = std::make_unique<TestHttpServer>();
        m_server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        m_ga = std::make_unique<TestHttpServer>();
        m_ga->setHandler(
            [](const HttpRequest &r) { return HttpResponse::make(r.path().startsWith("/debug") ? 200 : 204); });
        AnalyticsConfig config = ITDefaultAnalyticsConfig();
        config.baseUrl = m_ga->url(QString());
        ITSetAnalyticsConfig(config);
        m_logStart = QFileInfo(platform::logsDirectory() + "/quillmarsh-installer.log").size();
        m_terminated = 0;
        m_opened.clear();
        c = std::make_unique<MainWindowController>();
        c->setTimeScale(0.01);
        c->setDownloadBaseURL(m_server->url(QString()));
        c->terminateHook = [this] { ++m_terminated; };
        c->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(c->window()));
    }

    void cleanup()
    {
        m_hold.release(2); // never leave a download or an install waiting
        DMGInstaller::waitForWorkers(10000);
        c.reset();
        m_server.reset();
        m_ga.reset();
    }

    // What a crashed run leaves: a partial download, the image, a live mount (a space in its
    // name, which the mount table escapes), a staging copy.
    void staleLeftoversClearedAtStart()
    {
        c.reset();
        const QString dir = platform::privateDirectory();
        QVERIFY(QDir().mkpath(dir + "/mount x1") && QDir().mkpath(dir + "/stage-x2/Quillmarsh.app"));
        QFile(dir + "/quillmarsh_setup.dmg.part-abc").open(QIODevice::WriteOnly);
        QVERIFY(QFile::copy(kImage, dir + "/quillmarsh_setup.dmg"));
        if (QProcess::execute("squashfuse", {dir + "/quillmarsh_setup.dmg", dir + "/mount x1"}) != 0)
            QSKIP("no FUSE here");
        c = std::make_unique<MainWindowController>();
        QVERIFY(privateDirEmpty());
        QTRY_VERIFY(log().contains("FLOW: removed 4 leftover item(s)"));
    }

    // Final failures give up at once, others are retried up to three times; then Retry starts over
    // or the offline link opens the image and quits unasked. Start Now runs the installed app.
    void attempts_data()
    {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<bool>("offline");
        QTest::newRow("success") << QList<int>{} << false;
        QTest::newRow("404 at once") << QList<int>{404} << false;
        QTest::newRow("503 every time") << QList<int>{503, 503, 503, 503} << false;
        QTest::newRow("503 then 404") << QList<int>{503, 404} << false;
        QTest::newRow("408 and 429 retried, 410 final") << QList<int>{408, 429, 410} << true;
    }
    void attempts()
    {
        QFETCH(QList<int>, statuses);
        QFETCH(bool, offline);
        QStringList expected{"setup_run"};
        if (!statuses.isEmpty()) {
            expected << "install_start";
            for (int s : statuses) {
                m_server->enqueue(HttpResponse::make(s, "no\n"));
                expected << QString("install_retry:download_error_http_%1").arg(s);
            }
            expected.last().replace("retry", "failed");
            install();
            QTRY_VERIFY(c->offlineLink->isVisible());
            QCOMPARE(m_server->requestCount(), statuses.size());
            QTRY_VERIFY(eventsAre(expected));
            for (qint64 n = 1; n < statuses.size(); ++n)
                QTRY_VERIFY(log().contains(ITFormat("FLOW: auto-retry %ld/3 in %ld ms", n, n * 1000)));
            QTRY_VERIFY(log().contains(
                ITFormat("FLOW: download FAILED after %ld retries, giving up", statuses.size() - 1)));
            QCOMPARE(c->statusLabel->text(), c->L().installFailed);
            QCOMPARE(c->detailLabel->text(), QString("Server returned HTTP %1").arg(statuses.last()));
            QCOMPARE(c->installButton->title(), c->L().btnRetry);
            QVERIFY(!c->acceptCheck->isVisible() && !c->installView->isVisible());
            QVERIFY(c->installButton->isEnabled() && !alertBox() && privateDirEmpty());
            if (offline) {
                QTest::mouseClick(c->offlineLink, Qt::LeftButton);
                QCOMPARE(m_opened, QStringList{c->installerURL()});
                expectClosed(); // no question asked: it would block here
                expected << "offline_download";
                QTRY_VERIFY(eventsAre(expected));
                return;
            }
        }
        install();
        QVERIFY(c->installView->isVisible());
        QCOMPARE(c->retryCount, 0);
        expectInstalled();
        expected << "install_start" << "install_success";
        QTRY_VERIFY(eventsAre(expected));
        QTRY_VERIFY(log().contains("FLOW: install SUCCESS, app=" + c->installedApp));
        QCOMPARE(c->instStatus->text(), c->L().installingWait + "  100%");
        QTest::mouseClick(c->startButton, Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(m_probe));
        expectClosed();
    }

    // 0..900 by truncation; a size not known shows a busy bar and no percentage.
    void progressMapping()
    {
        c->downloadProgress(1, 7);
        QCOMPARE(c->progress->value(), 120);
        QCOMPARE(c->instStatus->text(), c->L().installingWait + "  12%");
        c->downloadProgress(1, 0);
        QCOMPARE(c->progress->maximum(), 0);
        QCOMPARE(c->instStatus->text(), c->L().installingWait);
    }

    void cutMidBodyResumes()
    {
        HttpResponse cut = TestHttpServer::fileResponse({}, kImage);
        cut.closeAfter = cut.body.size() / 2;
        m_server->enqueue(cut);
        install();
        expectInstalled();
        const QList<HttpRequest> gets = m_server->requests();
        QCOMPARE(gets.size(), 2);
        QVERIFY(!gets[0].hasHeader("Range"));
        QVERIFY(gets[1].header("Range").startsWith("bytes=") && gets[1].header("Range") != "bytes=0-");
        QTRY_COMPARE(log().count("GA: event "), 4); // one retry, for the cut, not for an HTTP status
        QVERIFY(log().contains(QRegularExpression("GA: event install_retry reason=\"download_error_\\d+\"")));
    }

    // Download: cancelled first ("Cancelling..."); retry wait: closed at once, no further attempt.
    void exitConfirmed_data()
    {
        QTest::addColumn<bool>("downloading");
        QTest::newRow("during the download") << true;
        QTest::newRow("during the retry wait") << false;
    }
    void exitConfirmed()
    {
        QFETCH(bool, downloading);
        HttpResponse stalled = TestHttpServer::fileResponse({}, kImage);
        stalled.stallAfter = 100;
        m_server->enqueue(downloading ? stalled : HttpResponse::make(503));
        c->setTimeScale(downloading ? 0.01 : 1.0); // a one-second wait: plenty of time to close in it
        install();
        QTRY_VERIFY(downloading ? c->downloader && m_server->requestCount() == 1 : c->retryTimer != nullptr);
        answerExitQuestion("OK");
        QCOMPARE(c->window()->close(), !downloading);
        QCOMPARE(c->instStatus->text(), downloading ? c->L().cancelling : c->L().installingWait);
        QVERIFY(!c->retryTimer);
        expectClosed();
        c->retryTimerTick(); // a tick that slipped through starts nothing
        QVERIFY(!c->downloader);
        QCOMPARE(m_server->requestCount(), 1);
        QTRY_VERIFY(eventsAre({"setup_run", "install_start",
                               downloading ? "install_cancelled" : "install_retry:download_error_http_503"}));
        QCOMPARE(log().contains("FLOW: download cancelled, closing"), downloading);
    }

    // The install stage is never cut off: a close is refused every time, also when the download
    // finished while the exit question was open.
    void exitRefusedDuringInstall()
    {
        c->installerSetup = [this](DMGInstaller &installer) {
            DMGInstaller::Tools tools = installer.tools();
            tools.isWritable = [this](const QString &folder) { // on the worker, mid-install
                m_hold.tryAcquire(1, 20000);
                return QFileInfo(folder).isWritable();
            };
            installer.setTools(tools);
        };
        m_server->setHandler([this](const HttpRequest &r) {
            m_hold.tryAcquire(1, 20000);
            return TestHttpServer::fileResponse(r, kImage);
        });
        install();
        answerExitQuestion("OK", [this] {
            m_hold.release(); // the download completes while the question is open
            QTRY_VERIFY(c->installing);
        });
        // Read at once: the next creep tick writes the progress again.
        for (int i = 1; i <= 3; ++i) {
            QVERIFY(!c->window()->close());
            QCOMPARE(c->instStatus->text(), c->L().installInProgress);
            QTRY_COMPARE(log().count("UI: close blocked, install in progress"), i);
            QTest::qWait(20);
        }
        QVERIFY(c->window()->isVisible() && !c->closing);
        m_hold.release();
        expectInstalled();
        QVERIFY(c->window()->close()); // done: no question
        expectClosed();
    }

    // Each language relabels the screen and logs its own name; then, in the last one, Cancel on
    // the exit question keeps the installer open and OK closes it.
    void languageChangeAndExitQuestion()
    {
        const QList<UIStrings> &all = Localization::all();
        for (qsizetype i = 0; i < all.size(); ++i) {
            c->langPopup->setCurrentIndex(int(i));
            emit c->langPopup->activated(int(i));
            QCOMPARE((QStringList{c->installButton->title(), c->acceptCheck->text(), c->browseButton->text()}),
                     (QStringList{all[i].btnInstall, all[i].readAgreed, all[i].browse}));
            QTRY_VERIFY(log().contains("UI: language changed to " + all[i].langName));
        }
        answerExitQuestion("Cancel");
        QVERIFY(!c->window()->close());
        QVERIFY(c->window()->isVisible() && !c->closing);
        answerExitQuestion("OK");
        QVERIFY(c->window()->close());
        expectClosed();
        QVERIFY(eventsAre({"setup_run"}));
    }

    void blankLocationOpensSettings()
    {
        const QRect before = c->window()->geometry();
        c->locationField->setText(" \t ");
        install();
        QVERIFY(c->settingsShown && c->settingsPanel->isVisible());
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        QVERIFY(alertBox() && alertBox()->isVisible());
        QCOMPARE(alertBox()->informativeText(), c->L().chooseLocation);
        QCOMPARE(alertBox()->icon(), QMessageBox::Warning);
        alertBox()->buttons().first()->click();
        install(); // the open panel stays open
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        c->settingsClicked();
        QCOMPARE(c->window()->geometry(), before);
        QCOMPARE(m_server->requestCount(), 0);
    }

    void corruptImageFails()
    {
        m_server->enqueue(HttpResponse::make(200, QByteArray(8192, 'x')));
        install();
        QTRY_VERIFY_WITH_TIMEOUT(alertBox(), 20000);
        const QString message = "Could not mount the disk image.";
        QCOMPARE(alertBox()->informativeText(), message);
        QCOMPARE(alertBox()->icon(), QMessageBox::Critical);
        QCOMPARE(c->detailLabel->text(), message);
        QCOMPARE(c->statusLabel->text(), c->L().installFailed);
        QVERIFY(!c->offlineLink->isVisible() && !c->installing && !QFile::exists(c->destFile));
        QTRY_VERIFY(eventsAre({"setup_run", "install_start", "install_failed:copy_error"}));
        QVERIFY(DMGInstaller::waitForWorkers(10000) && privateDirEmpty());
    }
};

QTEST_MAIN(TestFlow)
#include "tst_flow.moc"
