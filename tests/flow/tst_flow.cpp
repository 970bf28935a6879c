// The setup flow end to end: the real controller and window, a local HTTP server, real
// squashfs images of the sample product mounted with squashfuse, the real log and analytics.
#include "app/installerwindow.h"
#include "controller/mainwindowcontroller.h"
#include "diag/analytics.h"
#include "diag/itlog.h"
#include "install/dmginstaller.h"
#include "install/squashfsimagetool.h"
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
#include <QDir>
#include <QDirIterator>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTest>
#include <QTimer>

#include <mutex>

using namespace testsupport;

namespace {

using Step = std::function<HttpResponse(const HttpRequest &)>;

QString imagePath()
{
    return platform::isArm64() ? QStringLiteral("/quillmarsh.silicon.dmg")
                               : QStringLiteral("/quillmarsh.dmg");
}

HttpResponse sampleImage(const HttpRequest &request)
{
    return TestHttpServer::fileResponse(request, QStringLiteral(QM_SAMPLE_IMAGE_DIR) + imagePath());
}

Step status(int code)
{
    return [code](const HttpRequest &) { return HttpResponse::make(code, "no\n"); };
}

// Relative path -> contents and executable bit, for comparing two bundles.
QMap<QString, QByteArray> tree(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        files.insert(QDir(root).relativeFilePath(path),
                     f.readAll() + (QFileInfo(path).isExecutable() ? "+x" : "-x"));
    }
    return files;
}

// Known before the first line opens it.
QString logPath()
{
    return platform::logsDirectory() + QStringLiteral("/quillmarsh-installer.log");
}

// Mounting needs the FUSE device and squashfuse; without them the image tool extracts instead.
bool fuseUsable()
{
    QFile device(QStringLiteral("/dev/fuse"));
    return device.open(QIODevice::ReadWrite) &&
           QFileInfo(QStringLiteral("/usr/bin/squashfuse")).isExecutable();
}

bool privateDirEmpty()
{
    return QDir(platform::privateDirectory())
        .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QStringList urls;
public slots:
    void open(const QUrl &url) { urls << url.toString(); }
};

class TestFlow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHttpServer> m_server;
    std::mutex m_lock;
    QList<Step> m_steps; // answers for the image, in order; afterwards the sample image
    std::unique_ptr<MainWindowController> c;
    int m_terminated = 0;
    qint64 m_logStart = 0;
    QString m_gate; // while this file is missing, mounting waits
    UrlRecorder m_urls;

    void script(QList<Step> steps)
    {
        std::lock_guard lock(m_lock);
        m_steps = std::move(steps);
    }

    HttpResponse answer(const HttpRequest &request)
    {
        if (request.path().endsWith("/mp/collect"))
            return HttpResponse::make(request.path().startsWith("/debug") ? 200 : 204);
        if (request.path() != imagePath().toUtf8())
            return HttpResponse::make(404);
        std::lock_guard lock(m_lock);
        return m_steps.isEmpty() ? sampleImage(request) : m_steps.takeFirst()(request);
    }

    QList<HttpRequest> imageRequests() const
    {
        QList<HttpRequest> out;
        for (const HttpRequest &r : m_server->requests())
            if (r.path() == imagePath().toUtf8())
                out << r;
        return out;
    }

    // "name" or "name:reason" of every event posted to one endpoint.
    QStringList events(const QByteArray &endpoint = "/mp/collect") const
    {
        QStringList out;
        for (const HttpRequest &r : m_server->requests()) {
            if (r.method != "POST" || r.path() != endpoint)
                continue;
            const QJsonObject event = QJsonDocument::fromJson(r.body)
                                          .object()[QStringLiteral("events")].toArray()[0].toObject();
            const QString reason =
                event[QStringLiteral("params")].toObject()[QStringLiteral("reason")].toString();
            out << event[QStringLiteral("name")].toString() + (reason.isEmpty() ? QString() : u':' + reason);
        }
        return out;
    }

    // Sent in this order (the log keeps the order; posts may overtake each other on the wire)
    // and received once on each endpoint.
    bool eventsAre(QStringList expected) const
    {
        QStringList logged;
        static const QRegularExpression line(QStringLiteral("GA: event (\\S+) reason=\"([^\"]*)\""));
        for (auto it = line.globalMatch(log()); it.hasNext();) {
            const auto m = it.next();
            logged << m.captured(1) + (m.captured(2).isEmpty() ? QString() : u':' + m.captured(2));
        }
        QStringList collect = events(), debug = events("/debug/mp/collect");
        if (logged != expected)
            return false;
        expected.sort();
        collect.sort();
        debug.sort();
        return collect == expected && debug == expected;
    }

    QString log() const
    {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly) || !f.seek(m_logStart))
            return {};
        return QString::fromUtf8(f.readAll());
    }

    // Clicks the named button of the exit question as soon as it is up; first runs meanwhile.
    void answerExitQuestion(const QString &button, std::function<void()> meanwhile = {})
    {
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [=, this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->objectName() != QLatin1String("exitQuestion"))
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

    QMessageBox *alertBox() const { return c->window()->findChild<QMessageBox *>(QStringLiteral("alert")); }

    void install() { QTest::mouseClick(c->installButton, Qt::LeftButton); }

    void useGatedMount()
    {
        c->installerSetup = [](DMGInstaller &installer) {
            install::SquashfsImageTool::Paths paths;
            paths.squashfuse = QStringLiteral(QM_BINARY_DIR "/tests/flow/gated-squashfuse");
            DMGInstaller::Tools tools = installer.tools();
            tools.imageTool = std::make_shared<install::SquashfsImageTool>(paths);
            installer.setTools(tools);
        };
    }

    void expectInstalled()
    {
        QTRY_VERIFY_WITH_TIMEOUT(c->done, 20000);
        QCOMPARE(c->progress->value(), 1000);
        QVERIFY(c->finishView->isVisible());
        QVERIFY(!c->installView->isVisible());
        const QString app = QDir::homePath() + QStringLiteral("/Applications/Quillmarsh.app");
        QCOMPARE(c->installedApp, app);
        QCOMPARE(tree(app), tree(QStringLiteral(QM_SAMPLE_APP)));
        QVERIFY(!QFile::exists(c->destFile));
    }

    void expectClosed()
    {
        QTRY_VERIFY(!c->window()->isVisible());
        QTRY_COMPARE(m_terminated, 1);
        QVERIFY(DMGInstaller::waitForWorkers(10000));
        QTRY_VERIFY(privateDirEmpty());
    }

private slots:
    void initTestCase()
    {
        platform::setResourceDirectory(QStringLiteral(QM_RESOURCE_DIR));
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_urls, "open");
        m_gate = QDir::temp().filePath(QStringLiteral("qm-flow-gate-%1").arg(QCoreApplication::applicationPid()));
        QFile script(QStringLiteral(QM_BINARY_DIR "/tests/flow/gated-squashfuse"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n# Holds the mount until the test opens the gate (at most 20 s).\n"
                     "i=0; while [ ! -e \"$QM_MOUNT_GATE\" ] && [ $i -lt 1000 ]; do sleep 0.02; i=$((i+1)); done\n"
                     "exec /usr/bin/squashfuse \"$@\"\n");
        script.setPermissions(script.permissions() | QFile::ExeOwner);
        qputenv("QM_MOUNT_GATE", m_gate.toUtf8());
        qputenv("QUILLMARSH_SAMPLE_PROBE",
                QDir::temp().filePath(QStringLiteral("qm-flow-probe-%1").arg(QCoreApplication::applicationPid())).toUtf8());
    }

    void cleanupTestCase()
    {
        QFile::remove(m_gate);
        QFile::remove(qEnvironmentVariable("QUILLMARSH_SAMPLE_PROBE"));
    }

    void init()
    {
        QFile::remove(m_gate);
        QFile::remove(qEnvironmentVariable("QUILLMARSH_SAMPLE_PROBE"));
        QDir(QDir::homePath() + QStringLiteral("/Applications/Quillmarsh.app")).removeRecursively();
        m_server = std::make_unique<TestHttpServer>();
        m_server->setHandler([this](const HttpRequest &r) { return answer(r); });
        script({});
        AnalyticsConfig config = ITDefaultAnalyticsConfig();
        config.baseUrl = m_server->url(QString());
        ITSetAnalyticsConfig(config);
        m_logStart = QFileInfo(logPath()).size();
        m_terminated = 0;
        m_urls.urls.clear();

        c = std::make_unique<MainWindowController>();
        c->setTimeScale(0.01);
        c->setDownloadBaseURL(m_server->url(QString()));
        c->terminateHook = [this] { ++m_terminated; };
        c->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(c->window()));
    }

    void cleanup()
    {
        QFile(m_gate).open(QIODevice::WriteOnly); // never leave a mount waiting
        DMGInstaller::waitForWorkers(10000);
        c.reset();
        m_server.reset();
    }

    // What a crashed run leaves: a partial download, the image, a live mount, a staging copy.
    void staleLeftoversClearedAtStart()
    {
        if (!fuseUsable())
            QSKIP("no FUSE here");
        c.reset();
        const QString dir = platform::privateDirectory();
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/mount-x1")) && QDir().mkpath(dir + QStringLiteral("/stage-x2/Quillmarsh.app")));
        QFile(dir + QStringLiteral("/quillmarsh_setup.dmg.part-abc")).open(QIODevice::WriteOnly);
        QVERIFY(QFile::copy(QStringLiteral(QM_SAMPLE_IMAGE_DIR) + imagePath(), dir + QStringLiteral("/quillmarsh_setup.dmg")));
        QCOMPARE(QProcess::execute(QStringLiteral("squashfuse"),
                                   {dir + QStringLiteral("/quillmarsh_setup.dmg"), dir + QStringLiteral("/mount-x1")}), 0);
        QVERIFY(QFile::exists(dir + QStringLiteral("/mount-x1/Quillmarsh.app/AppRun")));

        c = std::make_unique<MainWindowController>();
        QVERIFY(privateDirEmpty());
        QTRY_VERIFY(log().contains(QStringLiteral("FLOW: removed 4 leftover item(s)")));
    }

    void successPathAndStartNow()
    {
        install();
        QVERIFY(c->installView->isVisible());
        expectInstalled();
        QTRY_VERIFY(eventsAre({"setup_run", "install_start", "install_success"}));
        QTRY_VERIFY(log().contains(QStringLiteral("FLOW: install SUCCESS, app=") + c->installedApp));
        QCOMPARE(c->instStatus->text(), c->L().installingWait + QStringLiteral("  100%"));

        QTest::mouseClick(c->startButton, Qt::LeftButton);
        QTRY_VERIFY(QFile::exists(qEnvironmentVariable("QUILLMARSH_SAMPLE_PROBE")));
        expectClosed();
    }

    void downloadFailures_data()
    {
        QTest::addColumn<QList<int>>("statuses");
        QTest::addColumn<int>("retries");
        QTest::newRow("404 at once") << QList<int>{404} << 0;
        QTest::newRow("503 every time") << QList<int>{503, 503, 503, 503} << 3;
        QTest::newRow("503 then 404") << QList<int>{503, 404} << 1;
        QTest::newRow("408 and 429 retried, 410 final") << QList<int>{408, 429, 410} << 2;
    }
    void downloadFailures()
    {
        QFETCH(QList<int>, statuses);
        QFETCH(int, retries);
        QList<Step> steps;
        QStringList expected{"setup_run", "install_start"};
        for (int s : statuses) {
            steps << status(s);
            expected << QStringLiteral("install_retry:download_error_http_%1").arg(s);
        }
        expected.removeLast();
        expected << QStringLiteral("install_failed:download_error_http_%1").arg(statuses.last());
        script(steps);

        install();
        QTRY_VERIFY(c->offlineLink->isVisible());
        QCOMPARE(imageRequests().size(), statuses.size());
        QTRY_VERIFY(eventsAre(expected));
        for (int n = 1; n <= retries; ++n)
            QTRY_VERIFY(log().contains(ITFormat("FLOW: auto-retry %ld/3 in %ld ms", n, n * 1000)));
        QTRY_VERIFY(log().contains(ITFormat("FLOW: download FAILED after %ld retries, giving up", retries)));
        QCOMPARE(c->statusLabel->text(), c->L().installFailed);
        QCOMPARE(c->detailLabel->text(), QStringLiteral("Server returned HTTP %1").arg(statuses.last()));
        QCOMPARE(c->installButton->title(), c->L().btnRetry);
        QVERIFY(!c->acceptCheck->isVisible() && !c->installView->isVisible());
        QVERIFY(c->installButton->isEnabled() && !alertBox());
        QVERIFY(privateDirEmpty());

        // Retry starts over from nothing and now succeeds.
        install();
        QCOMPARE(c->retryCount, 0);
        expectInstalled();
        expected << "install_start" << "install_success";
        QTRY_VERIFY(eventsAre(expected));
    }

    void progressMapping_data()
    {
        QTest::addColumn<qint64>("written");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("value"); // -1: indeterminate
        QTest::addColumn<QString>("pct");
        QTest::newRow("half") << qint64(500) << qint64(1000) << 450 << "45%";
        QTest::newRow("all") << qint64(1000) << qint64(1000) << 900 << "90%";
        QTest::newRow("truncated") << qint64(1) << qint64(7) << 120 << "12%";
        QTest::newRow("size unknown") << qint64(500) << qint64(0) << -1 << "";
    }
    void progressMapping()
    {
        QFETCH(qint64, written);
        QFETCH(qint64, total);
        QFETCH(int, value);
        QFETCH(QString, pct);
        c->downloadProgress(written, total);
        QCOMPARE(c->progress->maximum() == 0, value < 0);
        if (value >= 0)
            QCOMPARE(c->progress->value(), value);
        QCOMPARE(c->instStatus->text(), pct.isEmpty() ? c->L().installingWait
                                                      : c->L().installingWait + "  " + pct);
    }

    void cutMidBodyResumes()
    {
        script({[](const HttpRequest &r) {
            HttpResponse cut = sampleImage(r);
            cut.closeAfter = cut.body.size() / 2;
            return cut;
        }});
        install();
        expectInstalled();
        const QList<HttpRequest> gets = imageRequests();
        QCOMPARE(gets.size(), 2);
        QVERIFY(!gets[0].hasHeader("Range"));
        QVERIFY(gets[1].header("Range").startsWith("bytes="));
        QVERIFY(gets[1].header("Range") != "bytes=0-");
        QTRY_VERIFY(log().contains(QStringLiteral("DL: RESUME")));
        QTRY_COMPARE(events().size(), 4);
        const QString retry = events().filter(QStringLiteral("install_retry")).value(0);
        QVERIFY2(retry.startsWith(QStringLiteral("install_retry:download_error_")) &&
                     !retry.contains(QStringLiteral("http")),
                 qPrintable(retry));
    }

    void exitDuringDownload()
    {
        script({[](const HttpRequest &r) {
            HttpResponse slow = sampleImage(r);
            slow.stallAfter = 100;
            return slow;
        }});
        install();
        QTRY_VERIFY(c->downloader && imageRequests().size() == 1);
        answerExitQuestion(QStringLiteral("OK"));
        c->window()->close();
        QCOMPARE(c->instStatus->text(), c->L().cancelling);
        expectClosed();
        QTRY_VERIFY(log().contains(QStringLiteral("FLOW: download cancelled, closing")));
        QTRY_VERIFY(eventsAre({"setup_run", "install_start", "install_cancelled"}));
    }

    void exitDuringRetryWait()
    {
        c->setTimeScale(1.0); // a one-second wait: plenty of time to close during it
        script({status(503)});
        install();
        QTRY_VERIFY(c->retryTimer);
        answerExitQuestion(QStringLiteral("OK"));
        QVERIFY(c->window()->close());
        QVERIFY(!c->retryTimer);
        expectClosed();
        c->retryTimerTick(); // a tick that slipped through starts nothing
        QVERIFY(!c->downloader);
        QCOMPARE(imageRequests().size(), 1);
    }

    // The install stage is never cut off: refused on the close button, and refused when the
    // download finished while the exit question was open.
    void exitRefusedDuringInstall_data()
    {
        QTest::addColumn<bool>("startsWhileAsking");
        QTest::newRow("close button") << false;
        QTest::newRow("install starts during the question") << true;
    }
    void exitRefusedDuringInstall()
    {
        QFETCH(bool, startsWhileAsking);
        if (!fuseUsable())
            QSKIP("no FUSE here: the install cannot be held at the mount");
        useGatedMount();
        QSemaphore serve;
        if (startsWhileAsking)
            script({[&serve](const HttpRequest &r) {
                serve.tryAcquire(1, 20000);
                return sampleImage(r);
            }});
        install();
        // The next creep tick writes the progress again, so the refusal is read at once.
        QStringList shown;
        if (startsWhileAsking) {
            QTRY_VERIFY(imageRequests().size() == 1);
            answerExitQuestion(QStringLiteral("OK"), [&] {
                serve.release();
                QTRY_VERIFY(c->installing);
            });
            QVERIFY(!c->window()->close());
            shown << c->instStatus->text();
        } else {
            QTRY_VERIFY(c->installing);
            for (int i = 0; i < 2; ++i) {
                QVERIFY(!c->window()->close());
                shown << c->instStatus->text();
                QTest::qWait(20);
            }
        }
        QCOMPARE(shown, QStringList(shown.size(), c->L().installInProgress));
        QTRY_COMPARE(log().count(QStringLiteral("UI: close blocked, install in progress")), shown.size());
        QVERIFY(c->window()->isVisible() && !c->closing);

        QFile(m_gate).open(QIODevice::WriteOnly);
        expectInstalled();
        QVERIFY(c->window()->close()); // done: no question
        expectClosed();
    }

    void cancelKeepsInstallerOpen()
    {
        c->langPopup->setCurrentIndex(int(Localization::all().size() - 1));
        emit c->langPopup->activated(c->langPopup->currentIndex());
        answerExitQuestion(QStringLiteral("Cancel"));
        QVERIFY(!c->window()->close());
        QVERIFY(c->window()->isVisible() && !c->closing);
        answerExitQuestion(QStringLiteral("OK"));
        QVERIFY(c->window()->close());
        expectClosed();
        QVERIFY(eventsAre({"setup_run"}));
    }

    void blankLocationOpensSettings()
    {
        const QRect before = c->window()->geometry();
        c->locationField->setText(QStringLiteral(" \t "));
        install();
        QVERIFY(c->settingsShown && c->settingsPanel->isVisible());
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        QCOMPARE(c->root->height(), 516);
        QVERIFY(alertBox() && alertBox()->isVisible());
        QCOMPARE(alertBox()->informativeText(), c->L().chooseLocation);
        QCOMPARE(alertBox()->icon(), QMessageBox::Warning);
        alertBox()->buttons().first()->click();

        install(); // the open panel stays open
        QVERIFY(c->settingsShown);
        QCOMPARE(c->window()->geometry(), before.adjusted(0, 0, 0, 148));
        c->settingsClicked();
        QCOMPARE(c->window()->geometry(), before);
        QCOMPARE(imageRequests().size(), 0);
    }

    void corruptImageFails()
    {
        script({[](const HttpRequest &) { return HttpResponse::make(200, QByteArray(8192, 'x')); }});
        install();
        QTRY_VERIFY_WITH_TIMEOUT(alertBox(), 20000);
        const QString message = QStringLiteral("Could not mount the disk image.");
        QCOMPARE(alertBox()->informativeText(), message);
        QCOMPARE(alertBox()->icon(), QMessageBox::Critical);
        QCOMPARE(c->detailLabel->text(), message);
        QCOMPARE(c->statusLabel->text(), c->L().installFailed);
        QVERIFY(!c->offlineLink->isVisible() && !c->installing);
        QVERIFY(!QFile::exists(c->destFile));
        QTRY_VERIFY(eventsAre({"setup_run", "install_start", "install_failed:copy_error"}));
        QVERIFY(DMGInstaller::waitForWorkers(10000));
        QVERIFY(privateDirEmpty());
    }

    void offlineLinkOpensImageAndCloses()
    {
        script({status(404)});
        install();
        QTRY_VERIFY(c->offlineLink->isVisible());
        QTest::mouseClick(c->offlineLink, Qt::LeftButton);
        QCOMPARE(m_urls.urls, QStringList{c->installerURL()});
        expectClosed(); // no question asked: it would block here
        QTRY_VERIFY(events().contains(QStringLiteral("offline_download")));
    }

    void folderPicker_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("chosen") << true;
        QTest::newRow("cancelled") << false;
    }
    void folderPicker()
    {
        QFETCH(bool, confirm);
        const QString start = c->locationField->text();
        const QString chosen = QDir::homePath() + QStringLiteral("/Chosen Folder");
        QVERIFY(QDir().mkpath(chosen));
        QString startedIn;
        QTimer::singleShot(0, this, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
            QVERIFY(dialog->testOption(QFileDialog::ShowDirsOnly) && !dialog->testOption(QFileDialog::ReadOnly));
            startedIn = dialog->directory().absolutePath();
            dialog->setDirectory(chosen);
            QDialog *asDialog = dialog; // accept() is protected in QFileDialog, public in QDialog
            confirm ? asDialog->accept() : asDialog->reject();
        });
        QTest::mouseClick(c->browseButton, Qt::LeftButton);
        QCOMPARE(startedIn, start);
        QCOMPARE(c->locationField->text(), confirm ? chosen : start);
        if (confirm)
            QTRY_VERIFY(log().contains(QStringLiteral("UI: install dir set to ") + chosen));
    }

    void languageChangeRelabels()
    {
        const QList<UIStrings> &all = Localization::all();
        for (qsizetype i = all.size() - 1; i >= 0; --i) {
            c->langPopup->setCurrentIndex(int(i));
            emit c->langPopup->activated(int(i));
            QCOMPARE(c->langIndex, i);
            QCOMPARE(c->installButton->title(), all[i].btnInstall);
            QCOMPARE(c->acceptCheck->text(), all[i].readAgreed);
            QCOMPARE(c->browseButton->text(), all[i].browse);
            QTRY_VERIFY(log().contains(QStringLiteral("UI: language changed to ") + all[i].langName));
        }
    }
};

QTEST_MAIN(TestFlow)
#include "tst_flow.moc"
