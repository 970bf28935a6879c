// The installer window over the setup flow, end to end: the real controller, window and stages,
// a local HTTP server, real squashfs images of the sample product, the real log and analytics.
// The flow's decisions have their rows in tst_setupflow; these are the roads a user takes
// through the window, each to its end.
#include "controller/mainwindowcontroller.h"
#include "controller/realstages.h"
#include "controller/setupflow.h"
#include "diag/analytics.h"
#include "diag/itformat.h"
#include "download/folderlayout.h"
#include "download/resumestate.h"
#include "install/desktopentry.h"
#include "l10n/localization.h"
#include "platform/cpu.h"
#include "platform/paths.h"
#include "testhttpserver.h"
#include "testkeys.h"
#include "testmain.h"
#include "testsupport.h"
#include "tools/signing.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

using namespace controller;
using namespace download;
using namespace install;
using namespace l10n;
using namespace ui;

using namespace testsupport;

namespace {

const QString kImageName = platform::isArm64() ? "quillmarsh.silicon.dmg" : "quillmarsh.dmg";
const QString kImage = QM_SAMPLE_IMAGE_DIR "/" + kImageName;
// The other processor's image: another version of the same size, whose bundle has a file more.
const QString kOtherImage =
    QM_SAMPLE_IMAGE_DIR +
    QString(platform::isArm64() ? "/quillmarsh.dmg" : "/quillmarsh.silicon.dmg");
const QString kOtherApp = QM_SAMPLE_APP "/../../image-root" +
                          QString(platform::isArm64() ? "" : "-silicon") + "/Quillmarsh.app";

QString installedApp()
{
    return QDir::homePath() + "/Applications/Quillmarsh.app";
}

bool privateDirEmpty()
{
    return entries(platform::privateDirectory()).isEmpty();
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
    QTemporaryDir m_www; // signed copies of the images, for the server to give out
    const QString m_probe = m_tmp.filePath("probe"); // the sample app writes it when started
    QString m_question; // the text and button titles of the last exit question

    // The flow as the application makes it, against the local server, its timers scaled; no sleep
    // inhibitor (no system bus), images unchecked unless a row gives a key.
    // hosts: the download hosts (default: the test server); stallSeconds > 0: how long a transfer
    // may stall.
    void makeWindow(double timeScale = 0.01, const QByteArray &imageKey = {},
                    const QString &hosts = {}, int stallSeconds = 0)
    {
        SetupFlow::Parts parts = SetupFlow::standardParts(platform::privateDirectory());
        parts.downloadBaseURL = hosts.isEmpty() ? m_server->url(QString()) : hosts;
        if (stallSeconds > 0)
            parts.download = createNetworkDownloadStage(
                [=](Downloader::Options &o) { o.lowSpeedTimeSeconds = stallSeconds; });
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

    // Install, to the finished screen, with the bundle installed byte-identical to app; then the
    // window closes and nothing of the download is left.
    void expectInstalled(const QString &app)
    {
        install();
        QTRY_COMPARE_WITH_TIMEOUT(c->flow()->state(), SetupFlow::State::Finished, 30000);
        QCOMPARE(QProcess::execute("diff", {"-r", installedApp(), app}), 0);
        c->flow()->shutdown();
        QVERIFY(privateDirEmpty());
    }

    // server serves dir; its first request for the image (all, with every) stalls after
    // stallAfter bytes. Those come in eight pieces, 10 ms apart: the resume state kept while
    // they arrive has to catch up with each.
    static void serve(TestHttpServer *server, const QString &dir, qint64 stallAfter,
                      bool every = false)
    {
        auto first = std::make_shared<std::atomic<bool>>(true);
        server->setHandler([=](const HttpRequest &r) {
            HttpResponse answer = TestHttpServer::fileResponse(r, dir + r.path());
            if (r.path().endsWith(".dmg") && (first->exchange(false) || every)) {
                answer.stallAfter = stallAfter;
                answer.pieceSize = int(qMax<qint64>(256, stallAfter / 8));
                answer.pieceDelayMs = 10;
            }
            return answer;
        });
    }

    // image as release version in dir, with its .sig signed by the key in pem; the .sig's size.
    static qint64 publish(const QString &dir, const QString &image, const QString &pem,
                          qint64 version)
    {
        const QString copy = dir + '/' + kImageName;
        QFile::remove(copy);
        const auto text = QFile::copy(image, copy) ? signImageFile(pem, copy, version, {}, nullptr)
                                                   : std::nullopt;
        return text && writeFile(copy + ".sig", *text) ? text->size() : -1;
    }

    static QMap<QString, QByteArray> folderFiles()
    {
        QMap<QString, QByteArray> files;
        const QDir dir(platform::privateDirectory());
        for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
            files[name] = readFile(dir.filePath(name));
        return files;
    }
    static std::optional<ResumeState> keptState()
    {
        const auto blob =
            readStateFile(stateFileFor(layout::imageFile(platform::privateDirectory())));
        return blob ? ResumeState::decode(*blob) : std::nullopt;
    }
    // What the run's last download line says came over the network, and was reused.
    std::pair<qint64, qint64> bytesThisRun() const
    {
        static const QRegularExpression line("FLOW: download bytes: (\\d+) received over the "
                                             "network in this run, (\\d+) reused");
        std::pair<qint64, qint64> bytes{-1, -1};
        for (const QRegularExpressionMatch &m : line.globalMatch(log()))
            bytes = {m.captured(1).toLongLong(), m.captured(2).toLongLong()};
        return bytes;
    }

    QString log() const { return logText(m_logStart); }

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
        m_logStart = logSize();
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

    // Resume across runs. The first run is stopped with the image's download stalled at a share
    // of its bytes: by a kill (the private folder as the kill left it: its files are copied while
    // the download stalls and put back after) or by a confirmed exit, which cancels it first and
    // closes the window once it is back. What it held may then be spoilt (which held bytes are
    // accepted is tst_helddownload's). The second run installs the signed image byte-identical,
    // fetching over the network what the row says and counting what it reused.
    void acrossRuns_data()
    {
        QTest::addColumn<QString>("spoil");
        QTest::addColumn<double>("share");   // of the image held when the first run stops
        QTest::addColumn<double>("fetched"); // share of the image fetched by the second run
        QTest::addColumn<double>("reused");  // share of the image the second run reused
        // clang-format off
        QTest::newRow("killed at 30 %") << "kill" << 0.3 << 0.7 << 0.3;
        QTest::newRow("killed at 90 %") << "kill" << 0.9 << 0.1 << 0.9;
        QTest::newRow("killed at 99.9 %") << "kill" << 0.999 << 0.001 << 0.999;
        QTest::newRow("confirmed exit at 50 %") << "exit" << 0.5 << 0.5 << 0.5;
        QTest::newRow("power cut: state older than the held file") << "older state" << 0.5 << 0.75 << 0.25;
        // The held bytes fail their digest: the file starts over, nothing of it reused.
        QTest::newRow("held bytes changed on disk") << "changed" << 0.5 << 1.0 << 0.0;
        // A new release: its image, checked against the .sig held, then both files again.
        QTest::newRow("server's file replaced by a new release") << "replaced" << 0.5 << 2.0 << 0.0;
        // clang-format on
    }
    void acrossRuns()
    {
        QFETCH(QString, spoil);
        QFETCH(double, share);
        QFETCH(double, fetched);
        QFETCH(double, reused);
        QTemporaryDir keys;
        const QByteArray key = makeEd25519Key(keys.filePath("key.pem"));
        const qint64 sig = publish(m_www.path(), kImage, keys.filePath("key.pem"), 1);
        QVERIFY(sig > 0);
        const qint64 size = QFileInfo(kImage).size(), held = qint64(double(size) * share);
        serve(m_server.get(), m_www.path(), held);
        makeWindow(1.0, key); // no stall timeout meanwhile
        install();
        // Each piece is kept within 20 ms; a slow disk's syncs may add seconds, never the 20 s
        // a state kept far too seldom would wait before it follows the first piece.
        QTRY_VERIFY_WITH_TIMEOUT(keptState() && keptState()->offset == held, 15000);
        if (spoil == "exit") {
            answerExitQuestion("OK");
            QVERIFY(!c->window()->close()); // it waits for the download
            QTRY_VERIFY(!c->window()->isVisible());
            QTRY_COMPARE(events(),
                         QStringList({"setup_run", "install_start", "install_cancelled"}));
            c->flow()->shutdown();
        } else {
            const QMap<QString, QByteArray> left = folderFiles();
            c->flow()->shutdown();
            QVERIFY(QDir(platform::privateDirectory()).removeRecursively());
            QVERIFY(QDir().mkpath(platform::privateDirectory()));
            for (auto it = left.cbegin(); it != left.cend(); ++it)
                QVERIFY(writeFile(platform::privateDirectory() + '/' + it.key(), it.value()));
        }
        c.reset();
        const std::optional<ResumeState> kept = keptState();
        QVERIFY(kept);
        ResumeState state = *kept;
        qint64 newSig = 0;
        if (spoil == "replaced") {
            newSig = publish(m_www.path(), kOtherImage, keys.filePath("key.pem"), 2);
        } else if (spoil == "changed") {
            QFile part(state.partialPath);
            QVERIFY(part.open(QIODevice::ReadWrite) && part.seek(1) && part.write("x") == 1);
        } else if (spoil == "older state") {
            state.offset = held / 2;
            state.heldSha256 = QCryptographicHash::hash(readFile(kImage).left(held / 2),
                                                        QCryptographicHash::Sha256);
            QVERIFY(writeStateFile(stateFileFor(layout::imageFile(platform::privateDirectory())),
                                   state.encode()));
        }
        m_logStart = logSize();
        makeWindow(0.01, key);
        expectInstalled(spoil == "replaced" ? kOtherApp : QString(QM_SAMPLE_APP));
        const qint64 rest = spoil == "older state" ? size - held / 2 : size - held;
        QCOMPARE(bytesThisRun(), std::pair(fetched < 1.0 ? rest : qint64(fetched) * size + newSig,
                                           qint64(reused * double(size)) + (newSig ? 0 : sig)));
    }

    // Two download hosts, the second serving the signed image; the first answers every request
    // as the row's response says, its pieces paced. A silent first host has the second asked
    // beside it (after 1 s, scaled) and is left once the second answers; a trickling one is left
    // and its bytes continue on the second. (A host alone keeps its patience: tst_hostpolicy.)
    // A mirror holding
    // another signed version of the same size: the bytes held from the first host are continued
    // there, fail the digest, and both files are fetched again.
    void mirrors_data()
    {
        QTest::addColumn<int>("answerAfter");   // ms the first host waits to answer; -1: never
        QTest::addColumn<int>("trickle");       // bytes per 100 ms of its image; 0: no trickle
        QTest::addColumn<bool>("secondSilent"); // the second host never answers
        QTest::addColumn<bool>("otherVersion"); // the second serves another release
        QTest::addColumn<int>("firstAsked");
        QTest::addColumn<QString>("line"); // in the log, with A and B for the hosts
        // clang-format off
        QTest::newRow("silent first host: the second asked beside it wins") << -1 << 0 << false << false << 1
            << "FLOW: no answer from A/" + kImageName + ".sig within 100 ms, asking B/" + kImageName + ".sig beside it";
        QTest::newRow("first host slow to answer, the second silent: the first carries on") << 400 << 0 << true << false << 2
            << "FLOW: A/" + kImageName + " answered first and carries on";
        QTest::newRow("trickling first host left, its bytes continued") << 0 << 240 << false << false << 2
            << "FLOW: leaving download host A (download_error_28";
        QTest::newRow("mirror with another signed version of the same size") << 0 << 0 << false << true << 0
            << "FLOW: image did not check out against bytes from two hosts";
        // clang-format on
    }
    void mirrors()
    {
        QFETCH(int, answerAfter);
        QFETCH(int, trickle);
        QFETCH(bool, secondSilent);
        QFETCH(bool, otherVersion);
        QFETCH(int, firstAsked);
        QFETCH(QString, line);
        QTemporaryDir keys, mirror;
        const QString pem = keys.filePath("key.pem");
        const QByteArray key = makeEd25519Key(pem);
        const qint64 size = QFileInfo(kImage).size(), sig = publish(m_www.path(), kImage, pem, 1);
        QVERIFY(sig > 0);
        auto a = std::make_unique<TestHttpServer>();
        const QString hostA = a->url(QString()), hostB = m_server->url(QString());
        qint64 expected = size + sig;
        if (otherVersion) { // a first run holds half of the image and its .sig from A alone
            serve(a.get(), m_www.path(), size / 2);
            makeWindow(1.0, key, hostA);
            install();
            QTRY_VERIFY_WITH_TIMEOUT(keptState() && keptState()->offset == size / 2, 15000);
            c->flow()->shutdown();
            c.reset();
            a.reset(); // its port refuses from now on
            expected = size - size / 2 + publish(mirror.path(), kOtherImage, pem, 2) + size;
        }
        const QString www = m_www.path();
        if (a)
            a->setHandler([=](const HttpRequest &r) {
                QThread::msleep(ulong(qMax(0, answerAfter))); // its connection's thread
                HttpResponse answer = TestHttpServer::fileResponse(r, www + r.path());
                answer.noAnswer = answerAfter < 0;
                if (trickle > 0 && r.path().endsWith(".dmg"))
                    answer.pieceSize = trickle, answer.pieceDelayMs = 100;
                return answer;
            });
        m_server->serveDirectory(otherVersion ? mirror.path() : www);
        if (secondSilent)
            m_server->setHandler([](const HttpRequest &) {
                HttpResponse never;
                never.noAnswer = true;
                return never;
            });
        m_logStart = logSize();
        makeWindow(0.01, key, hostA + "  " + hostB, 1);
        expectInstalled(otherVersion ? kOtherApp : QString(QM_SAMPLE_APP));
        QVERIFY2(log().contains(QString(line)
                                    .replace("A/", hostA + '/')
                                    .replace("B/", hostB + '/')
                                    .replace("host A", "host " + hostA)),
                 qPrintable(log()));
        QCOMPARE(a ? a->requestCount() : 0, firstAsked);
        QCOMPARE(bytesThisRun().first, expected);
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
