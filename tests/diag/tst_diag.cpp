#include "diag/analytics.h"
#include "diag/itlog.h"
#include "testhttpserver.h"
#include "testmain.h"

#include <QJsonDocument>
#include <QLocalServer>
#include <QLocale>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimeZone>

#include <optional>
#include <thread>

#include <fcntl.h>

using namespace testsupport;

const QString kStamp = QStringLiteral(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}))");

// A post's row: reason, API secret (none: nothing sent), the answer's status, body and delay (-1:
// never), request timeout, the exit's allowance (a post still running ends by it, dropped if need
// be), HTTPS, a bus that never speaks, what mp/collect|debug/... log.
struct Post
{
    QString reason{}, secret = "s3cr-et_";
    int status = 200;
    QByteArray answer = "{}";
    int answerMs = 0, timeoutMs = 5000, deadlineMs = 2000;
    bool https = false, silentBus = false;
    QString logged = R"(-> HTTP 200\|-> HTTP 200, validation: \{\})";
};
Q_DECLARE_METATYPE(Post)

// The setup log and the analytics posts: in this process first, then in runs of the helper.
class TestDiag : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    QString m_clientId;

private slots:
    // Local time at UTC+14 (UTC would be 14 hours off), digits not the locale's; an argument of the
    // wrong kind or missing stands as 0 or nothing, an unknown conversion as it is.
    void firstCallWritesBanner()
    {
        qputenv("TZ", "<+14>-14");
        QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        ITLog("TEST: %@ %ld %d %lld %lu in %.0f ms %ld%% %ld %@ 100%x", "call", -2L, 1, qint64(3),
              quint64(4), 2.0 * 1000, 45, "x");
        const QStringList lines = logText().trimmed().split(u'\n');
        QLocale::setDefault(QLocale::c());
        const QStringList expected{"======== Quillmarsh Setup started ========", "Bundle: /.+",
                                   "OS: .+, Linux [^ ]+",
                                   "TEST: call -2 1 3 4 in 2000 ms 45% 0  100%x"};
        QCOMPARE(lines.size(), expected.size());
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const auto m =
                QRegularExpression('^' + kStamp + "  " + expected[i] + '$').match(lines[i]);
            QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss.zzz");
            stamp.setTimeZone(QTimeZone(14 * 3600));
            QVERIFY2(m.hasMatch() && stamp >= before && stamp <= QDateTime::currentDateTimeUtc(),
                     qPrintable(lines[i]));
        }
    }

    // Every line whole, none lost, each thread's lines in the order logged.
    void linesFromThreadsKeepTheirOrder()
    {
        constexpr int kThreads = 4, kLines = 300;
        std::thread threads[kThreads];
        for (int t = 0; t < kThreads; ++t)
            threads[t] = std::thread([t] {
                for (int i = 0; i < kLines; ++i)
                    ITLog("TEST: thread %d line %d", t, i);
            });
        for (std::thread &t : threads)
            t.join();
        int next[kThreads] = {};
        const QRegularExpression re('^' + kStamp + "  TEST: thread (\\d) line (\\d+)$");
        for (const QString &line : logText().split(u'\n'))
            if (const QRegularExpressionMatch m = re.match(line); m.hasMatch())
                QCOMPARE(m.captured(3).toInt(), next[m.captured(2).toInt()]++);
        QCOMPARE(QList<int>(next, next + kThreads), QList<int>(kThreads, kLines));
    }

    void post_data()
    {
        QTest::addColumn<Post>("row");
        const QString none = R"(\|)", timedOut = R"(ERROR .*timed out.*\|ERROR .*timed out.*)";
        // clang-format off
        QTest::newRow("no_reason") << Post{.answer = "\n{}\r\n\n"};
        QTest::newRow("error_reason") << Post{.reason = "download_error_http_503", .status = 500, .answer = " oops\r\n", .logged = R"(-> HTTP 500\|-> HTTP 500, validation: oops)"};
        QTest::newRow("no_secret") << Post{.secret = "", .logged = none};
        QTest::newRow("answered_during_the_end") << Post{.answerMs = 300};
        QTest::newRow("never_answered") << Post{.answerMs = -1, .deadlineMs = 1000, .logged = none};
        QTest::newRow("timed_out") << Post{.answerMs = -1, .timeoutMs = 300, .logged = timedOut};
        QTest::newRow("silent_bus") << Post{.deadlineMs = 200, .silentBus = true, .logged = "(ERROR not sent, the installer is exiting\\|?){2}"};
        // Last: under ThreadSanitizer no thread may start in this process once it has forked.
        QTest::newRow("over_https") << Post{.https = true};
        // clang-format on
    }
    void post()
    {
        QFETCH(const Post, row);
        const auto [reason, secret, status, answer, answerMs, timeoutMs, deadlineMs, https,
                    silentBus, logged] = row;
        const QString name = QTest::currentDataTag();
        // The poster, made once the CA is in the store, verifies against it; nginx relays to
        // m_server.
        std::optional<TlsNginx> nginx;
        std::optional<TestTrustStore> trust;
        QString base = m_server.url({});
        QLocalServer bus; // never accepts; found where a session without a bus address has it
        QVERIFY(!silentBus || bus.listen(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/bus"));
        if (https) {
            if (!TlsNginx::installed())
                QSKIP("nginx is not installed (Debian package nginx-light)");
            QVERIFY(nginx.emplace(m_server.port()).start());
            if (!trust.emplace(nginx->caFile()).active())
                QSKIP("no private mount namespace here (needs CAP_SYS_ADMIN)");
            base = QString("https://localhost:%1").arg(nginx->tlsPort("relay"));
        }
        ITSetAnalyticsConfig({base, "G-TEST000001", secret, timeoutMs});
        HttpResponse response = HttpResponse::make(status, answer);
        response.noAnswer = answerMs < 0, response.pieceSize = 1, response.pieceDelayMs = answerMs;
        m_server.clearRequests();
        m_server.setHandler([=](const HttpRequest &) { return response; });
        auto poster = std::make_unique<diag::AnalyticsPoster>(diag::AnalyticsPoster::Timing{
            std::chrono::milliseconds(deadlineMs), std::chrono::seconds(30)});
        diag::AnalyticsPoster *const previous = diag::setAnalyticsPoster(poster.get());
        const auto restore = qScopeGuard([&] { diag::setAnalyticsPoster(previous); });
        ITTrackEvent(name, reason);
        QVERIFY(logText().contains(
            (secret.isEmpty() ? "  GA: SKIPPED " + name + " - API_SECRET not configured\n"
                              : QString("  GA: event %1 reason=\"%2\"\n").arg(name, reason))));
        const qint64 start = QDateTime::currentMSecsSinceEpoch();
        diag::setAnalyticsPoster(previous), poster.reset(); // as the installer ends
        QVERIFY(QDateTime::currentMSecsSinceEpoch() - start < deadlineMs + 300);

        // One compact body to both endpoints, "params" even when empty, one upper-case client id.
        const QList<HttpRequest> requests = m_server.requests();
        if (m_clientId.isEmpty() && !requests.isEmpty())
            m_clientId = QJsonDocument::fromJson(requests[0].body)["client_id"].toString();
        const QRegularExpression uuid("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$");
        QVERIFY(requests.isEmpty() || uuid.match(m_clientId).hasMatch());
        const QString params = reason.isEmpty() ? "" : QString(R"("reason":"%1")").arg(reason);
        const QString body =
            QString(
                R"(?measurement_id=G-TEST000001&api_secret=s3cr-et_ application/json {"client_id":"%1","events":[{"name":"%2","params":{%3}}]})")
                .arg(m_clientId, name, params);
        QStringList seen;
        for (const HttpRequest &r : requests)
            seen << QString::fromUtf8(r.method + ' ' + r.target + ' ' + r.header("Content-Type") +
                                      ' ' + r.body);
        seen.sort();
        const QStringList sent{"POST /debug/mp/collect" + body, "POST /mp/collect" + body};
        QCOMPARE(seen, secret.isEmpty() || silentBus ? QStringList() : sent);
        QStringList lines; // what mp/collect and debug/mp/collect logged after the event's name
        for (const QString label : {"mp/collect", "debug/mp/collect"})
            lines << QRegularExpression(QString("  GA: %1 %2 ([^\n]*)\n").arg(name, label))
                         .match(logText())
                         .captured(1);
        const QString got = lines.join('|');
        QVERIFY2(
            QRegularExpression(QRegularExpression::anchoredPattern(logged)).match(got).hasMatch(),
            qPrintable(got));
    }

    // Rows: the state folder a run finds (made by a shell line), the helper's lines, padding and
    // drain time, and the lines read at the end through what was opened at the log before the run.
    void exitOfARun_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("lines");
        const QStringList one{"1", "0", "500"};
        const QString logs = "mkdir -p state/Logs && cd state/Logs && ";
        // clang-format off
        QTest::newRow("appended, drained") << logs + "echo earlier > quillmarsh-installer.log" << QStringList{"5000", "200", "10000"} << 1 + 3 + 5000;
        QTest::newRow("pipe: not written") << logs + "mkfifo quillmarsh-installer.log" << one << 0;
        QTest::newRow("link: not followed") << logs + "echo earlier > ../../file && ln -s ../../file quillmarsh-installer.log" << one << 1;
        QTest::newRow("no log folder: works") << "touch state" << one << 0;
        // clang-format on
    }
    void exitOfARun()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, args);
        QFETCH(int, lines);
        QTemporaryDir dir;
        QCOMPARE(shell("cd \"$1\" && " + setup + " && echo ok", {dir.path()}), "ok\n");
        // A pipe is read without waiting for a writer.
        const QString log = dir.filePath("state/Logs/quillmarsh-installer.log");
        const int reader = ::open(QFile::encodeName(log), O_RDONLY | O_NONBLOCK);
        QCOMPARE(shell("XDG_STATE_HOME=\"$1/state\" \"$2\" \"$3\" \"$4\" \"$5\"; echo $?",
                       QStringList{dir.path(), DIAG_HELPER} + args),
                 "0\n");
        QFile file;
        const bool opened =
            reader >= 0 && file.open(reader, QFile::ReadOnly, QFile::AutoCloseHandle);
        QCOMPARE(opened ? file.readAll().count('\n') : 0, lines);
    }
};

QM_TEST_GUILESS_MAIN(TestDiag)
#include "tst_diag.moc"
