#include "diag/analytics.h"
#include "diag/diagnostics.h"
#include "diag/itlog.h"
#include "testhttpserver.h"
#include "testmain.h"
#include "tlsnginx.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kStamp = QStringLiteral(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}))");
const QString kQuery = QStringLiteral("?measurement_id=G-TEST000001&api_secret=s3cr-et_");
const QString kLogName = QStringLiteral("/Logs/quillmarsh-installer.log");

QString logText()
{
    ITLogDrain(2000);
    QFile file(ITLogFilePath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool logHasLine(const QString &message)
{
    return logText().contains(QStringLiteral("  ") + message + u'\n');
}

AnalyticsConfig configFor(const QString &baseUrl, int timeoutMs = 5000)
{
    return {baseUrl, QStringLiteral("G-TEST000001"), QStringLiteral("s3cr-et_"), timeoutMs};
}

} // namespace

// The setup log and the analytics posts: in this process first, then in runs of the helper.
class TestDiag : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    QString m_clientId;

private slots:
    void initTestCase()
    {
        QFile::remove(qEnvironmentVariable("XDG_STATE_HOME") + kLogName); // from an earlier run
        ITSetAnalyticsConfig(configFor(m_server.url({})));
    }

    // Local time at UTC+14: a stamp written in UTC would be 14 hours off. Digits must not follow
    // the user's locale.
    void firstCallWritesBanner()
    {
        qputenv("TZ", "<+14>-14");
        QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        ITLog("TEST: first %@ %ld", "call", 42L);
        const QStringList lines = logText().trimmed().split(u'\n');
        QLocale::setDefault(QLocale::c());
        QCOMPARE(ITLogFilePath(), qEnvironmentVariable("XDG_STATE_HOME") + kLogName);
        const QStringList expected{"======== Quillmarsh Setup started ========", "Bundle: /.+",
                                   "OS: .+, Linux [^ ]+", "TEST: first call 42"};
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
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kLines; ++i)
                    ITLog("TEST: thread %d line %d", t, i);
            });
        for (std::thread &t : threads)
            t.join();
        ITLogDrain(10000);
        int next[kThreads] = {};
        const QRegularExpression re('^' + kStamp + "  TEST: thread (\\d) line (\\d+)$");
        for (const QString &line : logText().split(u'\n')) {
            if (const QRegularExpressionMatch m = re.match(line); m.hasMatch())
                QCOMPARE(m.captured(3).toInt(), next[m.captured(2).toInt()]++);
        }
        QCOMPARE(QList<int>(next, next + kThreads), QList<int>(kThreads, kLines));
    }

    // The usual %@ and %ld, and text in other scripts, are seen with the translated texts in the
    // language test.
    void format()
    {
        QCOMPARE((QStringList{ITFormat("%d %ld %lld %lu", 1, -2L, qint64(3), quint64(4)),
                              ITFormat("in %.0f ms", 2.0 * 1000), ITFormat("%ld%%", 45),
                              ITFormat("%@", 7), ITFormat("%ld", "x"), ITFormat("a %@ b"),
                              ITFormat("100%x")}),
                 (QStringList{"1 -2 3 4", "in 2000 ms", "45%", "7", "0", "a  b", "100%x"}));
    }

    // A request that is never answered ends at its timeout and is logged with libcurl's cause.
    void transportError()
    {
        QTcpServer silent; // accepts no connection, answers nothing
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        ITSetAnalyticsConfig(
            configFor(QString("http://127.0.0.1:%1").arg(silent.serverPort()), 300));
        ITTrackEvent("never_answers");
        for (const char *label : {"mp/collect", "debug/mp/collect"})
            QTRY_VERIFY(logText().contains(QRegularExpression(
                QString("  GA: never_answers %1 ERROR [^\n]*timed out").arg(label))));
    }

    // Posts keep their order, so once a later event has arrived the skipped one would have too.
    void emptySecretSendsNothing()
    {
        m_server.clearRequests();
        ITSetAnalyticsConfig({m_server.url({}), "G-TEST000001", "", 5000});
        ITTrackEvent("skipped_event", "why");
        QVERIFY(logHasLine("GA: SKIPPED skipped_event - API_SECRET not configured"));
        QVERIFY(!logText().contains("GA: event skipped_event"));
        ITSetAnalyticsConfig(configFor(m_server.url({})));
        ITTrackEvent("after_skip");
        QTRY_COMPARE(m_server.requestCount(), 2);
        for (const HttpRequest &r : m_server.requests())
            QVERIFY(r.body.contains("after_skip"));
    }

    // A session bus that takes the connection and never speaks, asked for the post's proxy, holds
    // the end no longer than its deadline; the post it held is dropped, not sent directly.
    void endWhileTheBusIsSilent()
    {
        QTemporaryDir dir;
        QLocalServer bus; // never accepts: this thread waits for the poster
        QVERIFY(bus.listen(dir.filePath("bus")));
        const QByteArray before = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const auto restore = qScopeGuard([&] { qputenv("DBUS_SESSION_BUS_ADDRESS", before); });
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(bus.fullServerName()));
        m_server.clearRequests();
        QElapsedTimer clock;
        {
            diag::AnalyticsPoster poster({std::chrono::seconds(10), std::chrono::seconds(30)});
            poster.post({m_server.url("/mp/collect").toStdString(), "{}", "mp/collect", "silent"});
            clock.start();
            QVERIFY(!poster.finish(QDeadlineTimer(200)));
        }
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(logHasLine("GA: silent mp/collect ERROR not sent, the installer is exiting"));
        QCOMPARE(m_server.requestCount(), 0);
    }

    // Rows: the event's reason, the answer (its status and body, and how late the body ends; -1:
    // never answered), whether it goes over HTTPS. Each outcome is logged, the validation answer
    // trimmed. At the end the posts made still finish until the deadline, and one never answered
    // is abandoned at it; with every post answered the end comes at once, by its own wake-up, as
    // the thread would sleep far past the deadline.
    void post_data()
    {
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("answerMs");
        QTest::addColumn<bool>("https");
        // clang-format off
        QTest::newRow("no_reason") << QString() << 200 << QByteArray("\n{\n  \"messages\": []\n}\n\n") << 0 << false;
        QTest::newRow("error_reason") << "download_error_http_503" << 500 << QByteArray(" oops\r\n") << 0 << false;
        QTest::newRow("answered_during_the_end") << "" << 200 << QByteArray("{}") << 300 << false;
        QTest::newRow("never_answered") << "" << 200 << QByteArray("{}") << -1 << false;
        // Last: under ThreadSanitizer no thread may start in this process once it has forked.
        QTest::newRow("over_https") << "" << 200 << QByteArray("{}") << 0 << true;
        // clang-format on
    }
    void post()
    {
        QFETCH(QString, reason);
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(int, answerMs);
        QFETCH(bool, https);
        const QString name = QTest::currentDataTag(), code = QString::number(status);
        // Verified against the system's store, which holds the test's CA only for threads
        // started once it is in place: the poster is made after it. nginx hands the requests on
        // to this process's server, so what arrived can be read there.
        std::optional<TlsNginx> nginx;
        std::optional<TestTrustStore> trust;
        if (https) {
            if (!TlsNginx::installed())
                QSKIP("nginx is not installed (Debian package nginx-light)");
            QVERIFY(nginx.emplace(m_server.port()).start());
            if (!trust.emplace(nginx->caFile()).active())
                QSKIP("no private mount namespace here (needs CAP_SYS_ADMIN)");
            ITSetAnalyticsConfig(
                configFor(QString("https://localhost:%1").arg(nginx->tlsPort("relay"))));
        }
        HttpResponse response = HttpResponse::make(status, answer);
        response.noAnswer = answerMs < 0;
        response.pieceSize = 1;
        response.pieceDelayMs = answerMs;
        m_server.clearRequests();
        m_server.setHandler([=](const HttpRequest &) { return response; });
        diag::AnalyticsPoster poster({std::chrono::seconds(10), std::chrono::seconds(30)});
        diag::AnalyticsPoster *const previous = diag::setAnalyticsPoster(&poster);
        const auto restore = qScopeGuard([&] {
            diag::setAnalyticsPoster(previous);
            ITSetAnalyticsConfig(configFor(m_server.url({})));
        });
        ITTrackEvent(name, reason);
        QVERIFY(logHasLine(QString("GA: event %1 reason=\"%2\"").arg(name, reason)));

        // The same compact body to both endpoints; "params" present even when empty; one
        // upper-case client id per process.
        QTRY_COMPARE(m_server.requestCount(), 2);
        const QList<HttpRequest> requests = m_server.requests();
        const QString id = QJsonDocument::fromJson(requests[0].body)["client_id"].toString();
        QVERIFY(
            QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(id).hasMatch());
        QCOMPARE(id, m_clientId.isEmpty() ? (m_clientId = id) : m_clientId);
        const QString params = reason.isEmpty() ? "" : QString(R"("reason":"%1")").arg(reason);
        const QString body =
            QString(R"(application/json {"client_id":"%1","events":[{"name":"%2","params":{%3}}]})")
                .arg(id, name, params);
        QStringList seen;
        for (const HttpRequest &r : requests)
            seen << QString::fromUtf8(r.method + ' ' + r.target + ' ' + r.header("Content-Type") +
                                      ' ' + r.body);
        seen.sort();
        QCOMPARE(seen, (QStringList{"POST /debug/mp/collect" + kQuery + ' ' + body,
                                    "POST /mp/collect" + kQuery + ' ' + body}));

        const auto logged = [&] {
            return logHasLine(QString("GA: %1 mp/collect -> HTTP %2").arg(name, code)) &&
                   logHasLine(QString("GA: %1 debug/mp/collect -> HTTP %2, validation: %3")
                                  .arg(name, code, QString::fromUtf8(answer).trimmed()));
        };
        if (answerMs == 0)
            QTRY_VERIFY(logged());
        QCOMPARE(poster.finish(QDeadlineTimer(answerMs < 0 ? 200 : 3000)), answerMs >= 0);
        QCOMPARE(logged(), answerMs >= 0);
    }

    void exitOfARun_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QStringList>("args"); // lines to log, their padding, how long to drain
        QTest::addColumn<int>("lines");        // in the log (or what stands there) at the end
        const QStringList one{"1", "0", "500"};
        QTest::newRow("appended, drained")
            << "earlier run" << QStringList{"5000", "200", "10000"} << 1 + 3 + 5000;
        QTest::newRow("pipe: not written") << "pipe" << one << 0;
        QTest::newRow("link: not followed") << "link" << one << 1; // its target as it was
        QTest::newRow("no log folder: works") << "no folder" << one << 0;
    }
    void exitOfARun()
    {
        QFETCH(QString, log);
        QFETCH(QStringList, args);
        QFETCH(int, lines);
        QTemporaryDir dir;
        const QString state = dir.filePath(log == "no folder" ? "file/state" : "state"); // a file's
        QVERIFY(QFile(dir.filePath("file")).open(QIODevice::WriteOnly) &&
                QDir().mkpath(dir.filePath("state/Logs")));
        const QString path = state + kLogName, target = log == "link" ? dir.filePath("file") : path;
        if (QFile file(target); log == "earlier run" || log == "link")
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("earlier run\n") > 0);
        QVERIFY(log != "link" || QFile::link(target, path));
        // A FIFO, read without waiting for a writer.
        const QByteArray native = QFile::encodeName(path);
        const int reader = log == "pipe" && ::mkfifo(native, 0600) == 0
                               ? ::open(native, O_RDONLY | O_NONBLOCK)
                               : -1;
        const auto closeReader = qScopeGuard([=] { ::close(reader); });
        QCOMPARE(reader >= 0, log == "pipe");
        // The helper logs into a state folder of its own; this process's log stays where it is.
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(DIAG_HELPER), args);
        QVERIFY(p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit &&
                !p.exitCode());
        QFile file(target);
        const bool opened =
            reader >= 0 ? file.open(reader, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly);
        QCOMPARE(opened ? file.readAll().count('\n') : 0, lines);
    }
};

QM_TEST_GUILESS_MAIN(TestDiag)
#include "tst_diag.moc"
