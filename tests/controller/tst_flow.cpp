// The roads a user takes through the window, each to its end: the real controller, window and
// stages, a local HTTP server, real squashfs images of the sample product, the real log.
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
#include "testmain.h"
#include "ui/installerwindow.h"
#include "ui/linklabel.h"
#include "ui/roundedbutton.h"

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

using namespace controller;
using namespace download;
using namespace l10n;
using namespace ui;

using namespace testsupport;

const QString kImageName = platform::isArm64() ? "quillmarsh.silicon.dmg" : "quillmarsh.dmg";
const QString kImage = QM_SAMPLE_IMAGE_DIR "/" + kImageName;
// The other processor's image: another version of the same size, its bundle a file more.
const QString kOtherImage =
    QM_SAMPLE_IMAGE_DIR +
    QString(platform::isArm64() ? "/quillmarsh.dmg" : "/quillmarsh.silicon.dmg");
const QString kOtherApp = QM_SAMPLE_APP "/../../image-root" +
                          QString(platform::isArm64() ? "" : "-silicon") + "/Quillmarsh.app";
using FailureRow = std::tuple<QString, QString, bool, bool, QString>;
using MirrorRow = std::tuple<int, int, bool, bool, int, QString>;
using RunsRow = std::tuple<QString, double, bool, bool>;
Q_DECLARE_METATYPE(FailureRow)
Q_DECLARE_METATYPE(MirrorRow)
Q_DECLARE_METATYPE(RunsRow)

class TestFlow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server; // queued answers first, then the image files
    TestHttpServer m_ga;                      // analytics posts
    qint64 m_logStart = 0;
    std::unique_ptr<MainWindowController> c;
    int m_terminated = 0;
    QStringList m_opened; // URLs handed to the browser
    QTemporaryDir m_tmp;
    QTemporaryDir m_www; // signed copies of the images, for the server to give out
    const QString m_probe = m_tmp.filePath("probe"); // the sample app writes it when started
    QString m_question; // the text and button titles of the last exit question
    const QString m_pem = m_tmp.filePath("key.pem");
    QByteArray m_key;
    qint64 m_sig = 0; // the size of the image's .sig in m_www

    static QString installedApp() { return QDir::homePath() + "/Applications/Quillmarsh.app"; }
    static QString privateDir() { return platform::privateDirectory(); }

    // The flow as the application makes it, against the local server (or hosts), timers scaled,
    // no sleep inhibitor, images unchecked without a key; stallSeconds > 0: how long a stall lasts.
    void makeWindow(double timeScale = 0.01, const QByteArray &imageKey = {},
                    const QString &hosts = {}, int stallSeconds = 0)
    {
        SetupFlow::Parts parts = SetupFlow::standardParts(privateDir());
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

    // The exit question kept as it shows, then answered by key: Return for its default button.
    void answerExitQuestion(Qt::Key key)
    {
        QTimer::singleShot(0, this, [=, this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box) // never asked: the row's check of the question fails instead
                return;
            QStringList titles;
            for (QAbstractButton *b : box->buttons())
                titles << b->text();
            titles.sort();
            m_question = box->informativeText() + " [" + titles.join(' ') + ']';
            QTest::keyClick(box, key);
        });
    }

    void expectClosed()
    {
        QTRY_VERIFY(!c->window()->isVisible());
        QTRY_COMPARE(m_terminated, 1);
        c->flow()->shutdown(); // waits for the install's detach
        QTRY_VERIFY(entries(privateDir()).isEmpty());
    }

    // Installed byte-identical to app, nothing of the download left.
    void expectInstalled(const QString &app)
    {
        install();
        QTRY_COMPARE_WITH_TIMEOUT(c->flow()->state(), SetupFlow::State::Finished, 30000);
        QCOMPARE(QProcess::execute("diff", {"-r", installedApp(), app}), 0);
        c->flow()->shutdown();
        QVERIFY(entries(privateDir()).isEmpty());
    }

    // A first run from server at hosts, its image stalling after held bytes that come in eight
    // pieces 10 ms apart: the resume state has to catch up with each, within 20 ms (a slow disk
    // may add seconds, never 20 s).
    void stallFirstRun(TestHttpServer *server, const QString &hosts, qint64 held)
    {
        auto first = std::make_shared<std::atomic<bool>>(true);
        server->setHandler([first, held, www = m_www.path()](const HttpRequest &r) {
            HttpResponse answer = TestHttpServer::fileResponse(r, www + r.path());
            if (r.path().endsWith(".dmg") && first->exchange(false)) {
                answer.stallAfter = held;
                answer.pieceSize = int(qMax<qint64>(256, held / 8));
                answer.pieceDelayMs = 10;
            }
            return answer;
        });
        makeWindow(1.0, m_key, hosts); // no stall timeout meanwhile
        install();
        QTRY_VERIFY_WITH_TIMEOUT(keptState() && keptState()->offset == held, 15000);
    }

    // image as release version in dir, with its .sig; the .sig's size.
    qint64 publish(const QString &dir, const QString &image, qint64 version) const
    {
        const QString copy = dir + '/' + kImageName;
        QByteArrayList sigs;
        QFile::remove(copy);
        return QFile::copy(image, copy) && !signImages(m_pem, {{copy, version}}, &sigs).isEmpty()
                   ? sigs[0].size()
                   : -1;
    }

    static std::optional<ResumeState> keptState()
    {
        const auto blob = readStateFile(layout::stateFile(layout::imageFile(privateDir())));
        return blob ? ResumeState::decode(*blob) : std::nullopt;
    }
    QString log() const { return logText(m_logStart); }
    // Each match of pattern in this run's log, its captures joined by spaces, trimmed.
    QStringList found(const char *pattern) const
    {
        QStringList all;
        for (const QRegularExpressionMatch &m : QRegularExpression(pattern).globalMatch(log()))
            all << m.capturedTexts().mid(1).join(' ').trimmed();
        return all;
    }
    // What the run's last download line says came over the network, and was reused.
    QString bytesThisRun() const
    {
        const QStringList all = found("FLOW: download bytes: (\\d+) received over the network in "
                                      "this run, (\\d+) reused");
        return all.value(all.size() - 1);
    }
    // The analytics events sent, as "name reason".
    QStringList events() const { return found("GA: event (\\S+) reason=\"([^\"]*)\""); }

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
        m_key = makeEd25519Key(m_pem);
        QVERIFY(!m_key.isEmpty());
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler("http"); }

    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        m_server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        m_logStart = logSize();
        m_terminated = 0;
        m_opened.clear();
        QVERIFY((m_sig = publish(m_www.path(), kImage, 1)) > 0);
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

    // A crashed run's live mount (a space in its name, escaped in the mount table) and staging
    // copy go when the window is made.
    void leftoversClearedAtStart()
    {
        QVERIFY(QDir().mkpath(privateDir() + "/mount x1") &&
                QDir().mkpath(privateDir() + "/stage-x2/Quillmarsh.app"));
        if (QProcess::execute("squashfuse", {kImage, privateDir() + "/mount x1"}) != 0)
            QSKIP("no FUSE here");
        makeWindow();
        QVERIFY(entries(privateDir()).isEmpty());
        QTRY_VERIFY(log().contains("FLOW: removed 2 leftover item(s)"));
    }

    // The failed screen, its alert and offline link; then Retry to the end and Start Now, or the
    // offline link, which quits unasked, or a confirmed exit. The answer ("garbage": no image),
    // the message, whether the offline link and an alert are shown, what the user does then.
    void failure_data()
    {
        QTest::addColumn<FailureRow>("row");
        // clang-format off
        QTest::newRow("404, then Retry and Start Now") << FailureRow{"404", "Server returned HTTP 404", true, false, "retry"};
        QTest::newRow("410, then the offline link") << FailureRow{"410", "Server returned HTTP 410", true, false, "offline"};
        QTest::newRow("does not mount, then exit") << FailureRow{"garbage", "Could not mount the disk image.", false, true, "exit"};
        // clang-format on
    }
    void failure()
    {
        QFETCH(FailureRow, row);
        const auto &[answer, message, offline, alerted, then] = row;
        makeWindow();
        const UIStrings &L = c->L();
        m_server->enqueue(answer == "garbage" ? HttpResponse::make(200, QByteArray(8192, 'x'))
                                              : HttpResponse::make(answer.toInt(), "no"));
        install();
        QTRY_COMPARE_WITH_TIMEOUT(text("detailLabel"), message, 20000);
        QCOMPARE(std::tuple(text("statusLabel"), view<RoundedButton>("installButton")->title(),
                            shown("acceptCheck") || shown("installView"),
                            view("installButton")->isEnabled(), shown("offlineLink")),
                 std::tuple(L.installFailed, L.btnRetry, false, true, offline));
        const auto *box = c->window()->findChild<QMessageBox *>("alert");
        QCOMPARE(box ? QString("%1 %2").arg(box->icon()).arg(box->informativeText()) : "",
                 alerted ? QString("%1 %2").arg(QMessageBox::Critical).arg(message) : "");
        if (then == "offline") {
            QTest::mouseClick(view<LinkLabel>("offlineLink"), Qt::LeftButton);
            QCOMPARE(m_opened, QStringList{c->flow()->installerURL()});
            expectClosed(); // no question asked: it would block here
            QTRY_VERIFY(events().contains("offline_download"));
        } else if (then == "exit") {
            answerExitQuestion(Qt::Key_Return);
            QVERIFY(c->window()->close());
            QCOMPARE(m_question, ITFormat(L.exitConfirm, "Quillmarsh") + " [Cancel OK]");
            expectClosed();
        } else { // Cancel keeps the window; Retry runs to the end, and Start Now closes it
            answerExitQuestion(Qt::Key_Escape);
            QVERIFY(!c->window()->close() && c->window()->isVisible());
            expectInstalled(QM_SAMPLE_APP);
            QCOMPARE(std::tuple(shown("finishView"), shown("installView"),
                                view<QProgressBar>("progress")->value(), text("instStatus")),
                     std::tuple(true, false, 1000, L.installingWait + "  100%"));
            QTest::mouseClick(view<RoundedButton>("startButton"), Qt::LeftButton);
            QTRY_VERIFY(QFile::exists(m_probe));
            expectClosed();
        }
    }

    // A first run stopped with the image stalled at a share, by a kill (the private folder's files
    // copied during the stall, put back after, maybe as if the image had landed) or a confirmed
    // exit; what it held maybe spoilt. The second installs. The row: how the first stops or what is
    // spoilt, the share held, whether the second fetches all again, whether it reuses the share.
    void acrossRuns_data()
    {
        QTest::addColumn<RunsRow>("row");
        // clang-format off
        QTest::newRow("killed at 99.9 %") << RunsRow{"kill", 0.999, false, true};
        QTest::newRow("confirmed exit at 50 %") << RunsRow{"exit", 0.5, false, true};
        QTest::newRow("held bytes changed on disk") << RunsRow{"changed", 0.5, true, false};
        QTest::newRow("killed once the image landed, before installing it") << RunsRow{"landed", 0.5, false, true};
        QTest::newRow("server's file replaced by a new release") << RunsRow{"replaced", 0.5, true, false};
        // clang-format on
    }
    void acrossRuns()
    {
        QFETCH(RunsRow, row);
        const auto &[spoil, share, startsOver, reused] = row;
        qint64 size = QFileInfo(kImage).size(), held = qint64(double(size) * share);
        stallFirstRun(m_server.get(), m_server->url(QString()), held);
        QMap<QString, QByteArray> left;
        for (const QString &name : QDir(privateDir()).entryList(QDir::Files | QDir::Hidden))
            left[name] = readFile(privateDir() + '/' + name);
        if (spoil == "exit") {
            answerExitQuestion(Qt::Key_Return);
            QVERIFY(!c->window()->close()); // it waits for the download
            QTRY_VERIFY(!c->window()->isVisible());
            QTRY_COMPARE(events(),
                         QStringList({"setup_run", "install_start", "install_cancelled"}));
            left.clear();
        }
        c->flow()->shutdown();
        c.reset();
        if (!left.isEmpty()) // as the kill left it
            QVERIFY(QDir(privateDir()).removeRecursively() && QDir().mkpath(privateDir()));
        for (auto it = left.cbegin(); it != left.cend(); ++it)
            QVERIFY(writeFile(privateDir() + '/' + it.key(), it.value()));
        const std::optional<ResumeState> kept = keptState();
        QVERIFY(kept);
        qint64 newSig = 0;
        if (spoil == "replaced")
            newSig = publish(m_www.path(), kOtherImage, 2);
        if (QFile part(kept->partialPath); spoil == "changed")
            QVERIFY(part.open(QIODevice::ReadWrite) && part.seek(1) && part.write("x") == 1);
        if (ResumeState whole = *kept; spoil == "landed") { // only its last byte is asked again
            whole.offset = size, whole.heldSha256 = QByteArray::fromHex(sha256Of(kImage));
            const QString dest = layout::imageFile(privateDir());
            QVERIFY(QFile::remove(kept->partialPath) && QFile::copy(kImage, dest) &&
                    writeStateFile(layout::stateFile(dest), whole.encode()));
            held = size - 1;
        }
        m_logStart = logSize();
        makeWindow(0.01, m_key);
        expectInstalled(spoil == "replaced" ? kOtherApp : QString(QM_SAMPLE_APP));
        const qint64 fetched = !startsOver ? size - held : newSig ? 2 * size + newSig : size;
        QCOMPARE(bytesThisRun(),
                 QString("%1 %2").arg(fetched).arg((reused ? held : 0) + (newSig ? 0 : m_sig)));
    }

    // Two hosts, the second serving the signed image. The ms the first waits to answer (-1:
    // never), the bytes per 100 ms it trickles (0: none), whether the second is silent or holds
    // another version (the first's held bytes continued there fail, both files fetched again);
    // the first host's requests, a log line with %1 and %2 for the hosts.
    void mirrors_data()
    {
        QTest::addColumn<MirrorRow>("row");
        const QString sig = kImageName + ".sig";
        // clang-format off
        QTest::newRow("silent first host: the second asked beside it wins") << MirrorRow{-1, 0, false, false, 1,
            "FLOW: no answer from %1/" + sig + " within 100 ms, asking %2/" + sig + " beside it"};
        QTest::newRow("first host slow to answer, the second silent: the first carries on") << MirrorRow{400, 0, true, false, 2,
            "FLOW: %1/" + kImageName + " answered first and carries on"};
        QTest::newRow("trickling first host left, its bytes continued") << MirrorRow{0, 240, false, false, 2,
            "FLOW: leaving download host %1 (download_error_28"};
        QTest::newRow("mirror with another signed version of the same size") << MirrorRow{0, 0, false, true, 0,
            "FLOW: image did not check out against bytes from two hosts"};
        // clang-format on
    }
    void mirrors()
    {
        QFETCH(MirrorRow, row);
        const auto [answerAfter, trickle, secondSilent, otherVersion, firstAsked, line] = row;
        QTemporaryDir mirror;
        const qint64 size = QFileInfo(kImage).size();
        auto a = std::make_unique<TestHttpServer>();
        const QString hostA = a->url(QString()), hostB = m_server->url(QString());
        qint64 expected = size + m_sig;
        if (otherVersion) { // a first run holds half of the image and its .sig from A alone
            stallFirstRun(a.get(), hostA, size / 2);
            c->flow()->shutdown();
            c.reset();
            a.reset(); // its port refuses from now on
            expected = size - size / 2 + publish(mirror.path(), kOtherImage, 2) + size;
        }
        if (a)
            a->setHandler([www = m_www.path(), answerAfter = answerAfter,
                           trickle = trickle](const HttpRequest &r) {
                QThread::msleep(ulong(qMax(0, answerAfter))); // its connection's thread
                HttpResponse answer = TestHttpServer::fileResponse(r, www + r.path());
                answer.noAnswer = answerAfter < 0;
                if (trickle > 0 && r.path().endsWith(".dmg"))
                    answer.pieceSize = trickle, answer.pieceDelayMs = 100;
                return answer;
            });
        m_server->serveDirectory(otherVersion ? mirror.path() : m_www.path());
        if (secondSilent)
            m_server->setHandler([](const HttpRequest &) {
                HttpResponse never;
                never.noAnswer = true;
                return never;
            });
        m_logStart = logSize();
        makeWindow(0.01, m_key, hostA + "  " + hostB, 1);
        expectInstalled(otherVersion ? kOtherApp : QString(QM_SAMPLE_APP));
        QVERIFY2(log().contains(QString(line).replace("%1", hostA).replace("%2", hostB)),
                 qPrintable(log()));
        QCOMPARE(a ? a->requestCount() : 0, firstAsked);
        QCOMPARE(bytesThisRun(), QString("%1 0").arg(expected));
    }
};

QM_TEST_MAIN(TestFlow)
#include "tst_flow.moc"
