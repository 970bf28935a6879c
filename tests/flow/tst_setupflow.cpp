// The setup flow's decisions without a window: the real SetupFlow against a local server, real
// squashfs images of the sample product, the real log and analytics.
#include "testmain.h"
#include "controller/setupflow.h"
#include "diag/itformat.h"
#include "download/imagesignature.h"
#include "tools/signing.h"
#include "flowfixture.h"
#include "install/desktopentry.h"
#include "install/imagetool.h"
#include "platform/worker.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace testsupport;
using flowtest::privateDirEmpty;
using flowtest::sampleImage;

namespace {

const QString kInstalledApp = QDir::homePath() + "/Applications/Quillmarsh.app";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSetupFlow : public QObject
{
    Q_OBJECT

    flowtest::Fixture m_f;
    std::unique_ptr<SetupFlow> m_flow;
    QSemaphore m_hold; // lets a download or an install held by the test go on

    // Answers the scripted statuses in turn, then the image, noting when each request came.
    QMutex m_mutex;
    QElapsedTimer m_clock;
    QList<qint64> m_arrivals;

    // Signing: the key the flow is given, and .sig texts for the sample image.
    QTemporaryDir m_keys;
    QByteArray m_publicKey;
    QHash<QString, QByteArray> m_sigs;
    qint64 m_processLogStart = 0;

    void useKey()
    {
        SetupFlow::Options options = m_flow->options();
        options.imagePublicKey = m_publicKey;
        options.minImageVersion = 2;
        m_flow->setOptions(options);
    }

    void scriptServer(const QList<int> &statuses, bool hold = false)
    {
        m_clock.start();
        m_f.server->setHandler([this, statuses, hold](const HttpRequest &r) {
            if (hold)
                m_hold.tryAcquire(1, 20000);
            QMutexLocker lock(&m_mutex);
            const qsizetype n = m_arrivals.size();
            m_arrivals << m_clock.elapsed();
            return n < statuses.size() ? HttpResponse::make(statuses[n], "no\n")
                                       : TestHttpServer::fileResponse(r, sampleImage());
        });
    }

    // Holds the install on its worker, before the image is mounted, until the test releases it.
    class HeldImageTool : public install::ImageTool
    {
    public:
        explicit HeldImageTool(QSemaphore &hold) : m_hold(hold) {}
        std::optional<QString> attach(const QString &image) override
        {
            m_hold.tryAcquire(1, 20000);
            return m_tool->attach(image);
        }
        void detach(const QString &mountPoint) override { m_tool->detach(mountPoint); }

    private:
        QSemaphore &m_hold;
        std::unique_ptr<install::ImageTool> m_tool = install::createDefaultImageTool();
    };
    void holdInstall()
    {
        SetupFlow::Options options = m_flow->options();
        options.installerSetup = [this](DMGInstaller &installer) {
            DMGInstaller::Tools tools = installer.tools();
            tools.imageTool = std::make_shared<HeldImageTool>(m_hold);
            installer.setTools(tools);
        };
        m_flow->setOptions(options);
    }

    void expectInstalled()
    {
        QTRY_COMPARE_WITH_TIMEOUT(m_flow->state(), SetupFlow::State::Finished, 20000);
        QCOMPARE(m_flow->progress(), 1000);
        QCOMPARE(m_flow->status(), m_flow->L().installingWait + "  100%");
        QCOMPARE(m_flow->installedApp(), kInstalledApp);
        QVERIFY(QFileInfo(kInstalledApp + "/AppRun").isExecutable());
        QVERIFY(!QFile::exists(m_flow->destFile()));
    }

private slots:
    void initTestCase()
    {
        m_processLogStart = QFileInfo(flowtest::Fixture::logPath()).size();
        const QString key = m_keys.filePath("key.pem"), other = m_keys.filePath("other.pem");
        m_publicKey = testsupport::makeEd25519Key(key);
        QVERIFY(!m_publicKey.isEmpty() && !testsupport::makeEd25519Key(other).isEmpty());
        QString error;
        m_sigs["good"] = signImageFile(key, sampleImage(), 2, {}, &error).value_or("");
        m_sigs["old"] = signImageFile(key, sampleImage(), 1, {}, &error).value_or("");
        m_sigs["otherKey"] = signImageFile(other, sampleImage(), 2, {}, &error).value_or("");
        // The other processor's image: same bytes here, but published under its own name.
        const QString otherImage =
            QM_SAMPLE_IMAGE_DIR +
            QString(platform::isArm64() ? "/quillmarsh.dmg" : "/quillmarsh.silicon.dmg");
        m_sigs["otherImage"] = signImageFile(key, otherImage, 2, {}, &error).value_or("");
        QVERIFY2(!m_sigs.values().contains(QByteArray()), qPrintable(error));
        m_sigs["malformed"] = QByteArray(m_sigs["good"]).replace("quillmarsh-image 2", "qm 2");
        m_sigs["oversized"] = m_sigs["good"] + QByteArray(1 << 20, '#');
    }

    void init()
    {
        m_hold.acquire(m_hold.available());
        m_arrivals.clear();
        QDir(kInstalledApp).removeRecursively();
        m_f.start();
        m_flow = std::make_unique<SetupFlow>();
        m_flow->setOptions(m_f.options(0.01));
    }

    void cleanup()
    {
        m_hold.release(4); // never leave a download or an install waiting
        m_flow->shutdown();
        m_flow.reset();
        m_f.stop();
        QDir(kInstalledApp).removeRecursively();
        QFile::remove(install::menuEntryPath());
    }

    // Final failures give up at once, others are retried up to three times after waits of
    // 1, 2 and 3 s (scaled), each as long as logged; Retry then starts over and installs. Without
    // a key the image goes unchecked: no .sig asked for, one line per run says so.
    void attempts_data()
    {
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("404 at once") << QList<int>{404};
        QTest::newRow("503 every time") << QList<int>{503, 503, 503, 503};
        QTest::newRow("408 and 429 retried, 410 final") << QList<int>{408, 429, 410};
    }
    void attempts()
    {
        QFETCH(QList<int>, statuses);
        const double scale = 0.25;
        m_flow->setOptions(m_f.options(scale));
        scriptServer(statuses);
        QList<qint64> waitsBegan;
        QObject scope; // the connection ends with this function
        connect(m_flow.get(), &SetupFlow::stateChanged, &scope, [&](SetupFlow::State state) {
            if (state == SetupFlow::State::WaitingToRetry)
                waitsBegan << m_clock.elapsed();
        });
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        QStringList expected{"install_start"};
        for (int s : statuses)
            expected << QString("install_retry:download_error_http_%1").arg(s);
        expected.last().replace("retry", "failed");
        m_flow->install(QDir::homePath() + "/Applications");
        QTRY_COMPARE_WITH_TIMEOUT(m_flow->state(), SetupFlow::State::Failed, 10000);
        QCOMPARE(m_f.server->requestCount(), statuses.size());
        QTRY_VERIFY(m_f.eventsAre(expected));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toString(), QString("Server returned HTTP %1").arg(statuses.last()));
        QCOMPARE(failed[0][1].value<QMessageBox::Icon>(), QMessageBox::NoIcon);
        QVERIFY(failed[0][2].toBool()); // the offline link
        QCOMPARE(m_flow->retryCount(), statuses.size() - 1);
        QTRY_VERIFY(m_f.log().contains(ITFormat(
            "FLOW: download FAILED after %ld retries, giving up", qint64(statuses.size() - 1))));
        // The wait before retry n is what the log says, n seconds, scaled: the next attempt
        // reaches the server no sooner, and not much later, than that after the wait began.
        QCOMPARE(waitsBegan.size(), statuses.size() - 1);
        const QList<qint64> arrivals = [this] {
            QMutexLocker lock(&m_mutex);
            return m_arrivals;
        }();
        for (qint64 n = 1; n < statuses.size(); ++n) {
            QTRY_VERIFY(
                m_f.log().contains(ITFormat("FLOW: auto-retry %ld/3 in %ld ms", n, n * 1000)));
            const qint64 gap = arrivals[n] - waitsBegan[n - 1], delay = qRound64(n * 1000 * scale);
            QVERIFY2(gap >= delay && gap < delay + 150,
                     qPrintable(QString::asprintf("retry %lld came %lld ms after its wait began, "
                                                  "logged %lld ms",
                                                  n, gap, delay)));
        }
        QVERIFY(privateDirEmpty());
        m_flow->install(QDir::homePath() + "/Applications ");
        QCOMPARE(m_flow->retryCount(), 0);
        expectInstalled();
        expected << "install_start"
                 << "install_success";
        QTRY_VERIFY(m_f.eventsAre(expected));
        QTRY_VERIFY(m_f.log().contains("FLOW: install SUCCESS, app=" + kInstalledApp));
        QCOMPARE(m_f.server->requestCount(), statuses.size() + 1);
        QVERIFY(!m_f.log().contains("FLOW: image verified"));
        QFile log(flowtest::Fixture::logPath());
        QVERIFY(log.open(QIODevice::ReadOnly) && log.seek(m_processLogStart));
        QCOMPARE(log.readAll().count("FLOW: image signature check off (no public key built in)"),
                 1);
    }

    // 0..900 by truncation; a size not known makes the bar indeterminate until a stage resets it.
    void progressMapping_data()
    {
        QTest::addColumn<QList<qint64>>("reports"); // written, total, written, total, ...
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("pct");
        QTest::newRow("a seventh") << QList<qint64>{1, 7} << 120 << "  12%";
        QTest::newRow("all") << QList<qint64>{9, 9} << 900 << "  90%";
        QTest::newRow("size unknown") << QList<qint64>{5, 0} << -1 << "";
        QTest::newRow("unknown, then known") << QList<qint64>{5, -1, 1, 2} << -1 << "  45%";
    }
    void progressMapping()
    {
        QFETCH(QList<qint64>, reports);
        QFETCH(int, value);
        QFETCH(QString, pct);
        for (qsizetype i = 0; i + 1 < reports.size(); i += 2)
            m_flow->downloadProgress(reports[i], reports[i + 1]);
        QCOMPARE(m_flow->progress(), value);
        QCOMPARE(m_flow->status(), m_flow->L().installingWait + pct);
    }

    // A signed release recovers from interruptions: the .sig has the image's retries and the
    // image its own after the .sig arrived; an image cut mid-body resumes, and the hash taken
    // while the bytes arrive covers the part before the cut too.
    void signedDownloadRecovers_data()
    {
        QTest::addColumn<int>("busy"); // 503s before the .sig, and as many again before the image
        QTest::addColumn<bool>("cut"); // the image's first answer breaks off halfway
        QTest::newRow("cut mid-body") << 0 << true;
        QTest::newRow(".sig and image retried apart") << 3 << false;
    }
    void signedDownloadRecovers()
    {
        QFETCH(int, busy);
        QFETCH(bool, cut);
        useKey();
        HttpResponse half = TestHttpServer::fileResponse({}, sampleImage());
        half.closeAfter = half.body.size() / 2;
        for (int i = 0; i < 2 * busy + 1; ++i)
            m_f.server->enqueue(i == busy ? HttpResponse::make(200, m_sigs["good"])
                                          : HttpResponse::make(503));
        if (cut)
            m_f.server->enqueue(half);
        m_flow->install(QDir::homePath() + "/Applications");
        expectInstalled();
        const QByteArray sha256 = fileSha256(sampleImage(), nullptr).value_or(FileDigest{}).sha256;
        QTRY_VERIFY(m_f.log().contains("FLOW: image verified (sha256 " + sha256.toHex() + ")"));
        const QList<HttpRequest> gets = m_f.server->requests();
        QCOMPARE(gets.size(), 2 * busy + 2 + int(cut));
        QVERIFY(gets[busy].path().endsWith(".sig") && !gets[busy + 1].hasHeader("Range"));
        const QByteArray range = gets.last().header("Range");
        QVERIFY(cut ? range.startsWith("bytes=") && range != "bytes=0-" : range.isEmpty());
        QStringList expected{"install_start"};
        for (int i = 0; i < 2 * busy; ++i)
            expected << "install_retry:download_error_http_503";
        if (!cut) {
            expected << "install_success";
            QTRY_VERIFY(m_f.eventsAre(expected));
        } else { // one retry, for the cut, whose curl code may vary
            QTRY_VERIFY(m_f.log().count("GA: event ") == 3 &&
                        m_f.log().contains(QRegularExpression(
                            "GA: event install_retry reason=\"download_error_-?\\d+\"")));
        }
    }

    // A confirmed exit during a download cancels it and asks for the close once it is back;
    // during the retry wait it closes at once and no later attempt starts.
    void exitConfirmed_data()
    {
        QTest::addColumn<int>("firstStatus"); // 200: the download stalls mid-body
        QTest::addColumn<SetupFlow::CloseDecision>("decision");
        QTest::newRow("during the download") << 200 << SetupFlow::CloseDecision::Wait;
        QTest::newRow("during the retry wait") << 503 << SetupFlow::CloseDecision::Close;
    }
    void exitConfirmed()
    {
        QFETCH(int, firstStatus);
        QFETCH(SetupFlow::CloseDecision, decision);
        HttpResponse first = TestHttpServer::fileResponse({}, sampleImage());
        first.stallAfter = 100;
        if (firstStatus != 200)
            first = HttpResponse::make(firstStatus);
        m_f.server->enqueue(first);
        m_flow->setOptions(m_f.options(0.1));
        QSignalSpy closeAsked(m_flow.get(), &SetupFlow::closeWindow);
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Ask); // idle
        m_flow->install(QDir::homePath() + "/Applications");
        const auto waiting = decision == SetupFlow::CloseDecision::Wait
                                 ? SetupFlow::State::Downloading
                                 : SetupFlow::State::WaitingToRetry;
        QTRY_VERIFY(m_flow->state() == waiting && m_f.server->requestCount() == 1);
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Ask);
        QCOMPARE(m_flow->confirmExit(), decision);
        QCOMPARE(m_flow->state(), SetupFlow::State::Closing);
        if (decision == SetupFlow::CloseDecision::Wait) {
            QCOMPARE(m_flow->status(), m_flow->L().cancelling);
            QTRY_COMPARE(closeAsked.size(), 1);
            QTRY_VERIFY(m_f.log().contains("FLOW: download cancelled, closing"));
        }
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Close);
        QTest::qWait(300); // longer than the first retry wait
        QCOMPARE(m_f.server->requestCount(), 1);
        QTRY_VERIFY(
            m_f.eventsAre({"install_start", decision == SetupFlow::CloseDecision::Wait
                                                ? "install_cancelled"
                                                : "install_retry:download_error_http_503"}));
    }

    // The install stage is never cut off, also when the download finished while the exit
    // question was open; once done, the close needs no question.
    void exitRefusedDuringInstall()
    {
        holdInstall();
        scriptServer({}, true);
        m_flow->install(QDir::homePath() + "/Applications");
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Ask); // the question opens
        m_hold.release(); // the download completes meanwhile
        QTRY_COMPARE(m_flow->state(), SetupFlow::State::Installing);
        QCOMPARE(m_flow->confirmExit(), SetupFlow::CloseDecision::Refuse);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Refuse);
        QCOMPARE(m_flow->status(), m_flow->L().installInProgress);
        QTRY_COMPARE(m_f.log().count("UI: close blocked, install in progress"), 3);
        m_hold.release();
        expectInstalled();
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Close);
    }

    // Short of space in either stage: one clear message in MB rounded up, no retry, the
    // main screen with Retry, nothing left in the private folder.
    void noSpace_data()
    {
        QTest::addColumn<bool>("inInstall");
        QTest::addColumn<QMessageBox::Icon>("alert");
        QTest::newRow("download") << false << QMessageBox::NoIcon;
        QTest::newRow("install") << true << QMessageBox::Critical;
    }
    void noSpace()
    {
        QFETCH(bool, inInstall);
        QFETCH(QMessageBox::Icon, alert);
        const QString folder = QDir::homePath() + "/Applications";
        if (inInstall)
            holdInstall();
        else
            scriptServer({503}, true);
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        m_flow->install(folder);
        const qint64 needed = 611'000'001, available = 1'000'000;
        if (inInstall) {
            QTRY_COMPARE_WITH_TIMEOUT(m_flow->state(), SetupFlow::State::Installing, 10000);
            InstallResult r{InstallResult::Status::NoSpace, {}, {}, folder, needed, available};
            m_flow->installFinished(r);
        } else {
            QTRY_COMPARE(m_f.server->requestCount(), 1);
            DownloadResult r;
            r.status = DownloadResult::Status::NoSpace;
            r.spaceFolder = folder;
            r.bytesNeeded = needed;
            r.bytesAvailable = available;
            m_flow->downloadComplete(r);
        }
        m_hold.release(); // the abandoned worker's late report changes nothing
        QCOMPARE(m_flow->state(), SetupFlow::State::Failed);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toString(),
                 ITFormat(m_flow->L().notEnoughSpace, "Quillmarsh", qint64(612), folder));
        QCOMPARE(failed[0][1].value<QMessageBox::Icon>(), alert);
        QVERIFY(!failed[0][2].toBool());
        QTRY_VERIFY(m_f.log().contains(
            ITFormat("FLOW: not enough disk space in %@: %lld bytes needed, %lld available", folder,
                     needed, available)));
        QTRY_VERIFY(m_f.eventsAre({"install_start", "install_failed:disk_space"}));
        QVERIFY(platform::waitForWorkers(platform::WorkerKind::Install, QDeadlineTimer(10000)) &&
                platform::waitForWorkers(platform::WorkerKind::Download, QDeadlineTimer(10000)));
        QCOMPARE(m_flow->state(), SetupFlow::State::Failed);
        QCOMPARE(m_f.server->requestCount(), 1);
        QVERIFY(privateDirEmpty());
    }

    void noPrivateFolderNoDownload()
    {
        SetupFlow::Options options = m_flow->options();
        options.privateFolder = [] { return QString(); }; // none could be made
        m_flow->setOptions(options);
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        m_flow->install(QDir::homePath() + "/Applications");
        QCOMPARE(m_flow->state(), SetupFlow::State::Failed);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].toString(), m_flow->L().noPrivateFolder);
        QTRY_VERIFY(m_f.log().contains("FLOW: no private folder for the download, not starting"));
        QTRY_VERIFY(m_f.eventsAre({"install_start", "install_failed:no_private_folder"}));
        QCOMPARE(m_f.server->requestCount(), 0);
    }

    // The .sig first, the image only after it checked out; any mismatch deletes the download,
    // mounts and installs nothing, and says so in the log.
    void signedImage_data()
    {
        QTest::addColumn<QString>("sig");     // empty: 404
        QTest::addColumn<int>("flipAt");      // -1: the image as published
        QTest::addColumn<int>("cut");         // bytes missing at the end (< 0: added)
        QTest::addColumn<QString>("failure"); // empty: verified
        QTest::addColumn<int>("requests");

        QTest::newRow("good") << "good" << -1 << 0 << "" << 2;
        QTest::newRow("one byte flipped") << "good" << 70000 << 0 << "sha256 is " << 2;
        QTest::newRow("truncated") << "good" << -1 << 4096 << "size is " << 2;
        QTest::newRow("longer") << "good" << -1 << -4096 << "size is at least " << 2;
        QTest::newRow("signed by another key") << "otherKey" << -1 << 0 << "bad signature" << 1;
        QTest::newRow("older than the floor")
            << "old" << -1 << 0 << "image version 1 is older than the oldest allowed, 2" << 1;
        QTest::newRow(".sig missing") << "" << -1 << 0 << "no signature file (HTTP 404)" << 1;
        QTest::newRow("the other image's .sig")
            << "otherImage" << -1 << 0 << "file name is \"quillmarsh" << 2;
        QTest::newRow("malformed line") << "malformed" << -1 << 0 << "malformed line 1" << 1;
        QTest::newRow("oversized .sig") << "oversized" << -1 << 0 << "malformed: " << 1;
    }
    void signedImage()
    {
        QFETCH(QString, sig);
        QFETCH(int, flipAt);
        QFETCH(int, cut);
        QFETCH(QString, failure);
        QFETCH(int, requests);
        useKey();
        QByteArray image = readFile(sampleImage());
        QVERIFY(image.size() > flipAt && image.size() > cut);
        if (flipAt >= 0)
            image[flipAt] = char(image[flipAt] ^ 0x01);
        image.chop(cut);
        image.append(QByteArray(qMax(0, -cut), 'x'));
        const QByteArray sigText = m_sigs.value(sig);
        m_f.server->setHandler([image, sigText](const HttpRequest &r) {
            // Chunked: only the bytes themselves can tell a file is too long.
            HttpResponse answer = !r.path().endsWith(".sig") ? HttpResponse::make(200, image)
                                  : sigText.isEmpty()        ? HttpResponse::make(404, "no\n")
                                                             : HttpResponse::make(200, sigText);
            answer.chunked = true;
            return answer;
        });
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        m_flow->install(QDir::homePath() + "/Applications");

        if (failure.isEmpty()) {
            expectInstalled();
            const QByteArray sha256 =
                fileSha256(sampleImage(), nullptr).value_or(FileDigest{}).sha256;
            QTRY_VERIFY(m_f.log().contains("FLOW: image verified (sha256 " + sha256.toHex() + ")"));
            QTRY_VERIFY(m_f.eventsAre({"install_start", "install_success"}));
            QVERIFY(m_f.server->requests().first().path().endsWith(".sig"));
            QVERIFY(
                readFile(install::menuEntryPath()).contains(kInstalledApp.toUtf8() + "/AppRun"));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 20000);
            QCOMPARE(failed[0][0].toString(), m_flow->L().imageUnverified);
            QCOMPARE(failed[0][1].value<QMessageBox::Icon>(), QMessageBox::NoIcon);
            QVERIFY(!failed[0][2].toBool()); // the offline image would be the same bytes
            QTRY_VERIFY(m_f.log().contains("FLOW: image verification FAILED: " + failure));
            QTRY_VERIFY(m_f.eventsAre({"install_start", "install_failed:image_unverified"}));
            QVERIFY(!m_f.log().contains("FLOW: installing") && !m_f.log().contains("INST: "));
            QVERIFY(
                !readFile("/proc/self/mountinfo").contains(platform::privateDirectory().toUtf8()));
            QVERIFY(!QFileInfo::exists(kInstalledApp) &&
                    !QFileInfo::exists(install::menuEntryPath()));
        }
        QCOMPARE(m_f.server->requestCount(), requests);
        // After a good install the worker may still be detaching the image and removing its
        // mount point.
        QTRY_VERIFY(privateDirEmpty());
    }
};

QM_TEST_GUILESS_MAIN(TestSetupFlow)
#include "tst_setupflow.moc"
