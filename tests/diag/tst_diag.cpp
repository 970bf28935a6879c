#include "diag/analytics.h"
#include "diag/diagnostics.h"
#include "diag/itlog.h"
#include "testhttpserver.h"
#include "tlsnginx.h"

#include <QJsonDocument>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <curl/curl.h>

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

private slots:
    void initTestCase();
    void firstCallWritesBanner();
    void linesFromThreadsKeepTheirOrder();
    void requestPair_data();
    void requestPair();
    void transportError();
    void emptySecretSendsNothing();
    void finishAtExit_data();
    void finishAtExit();
    // Last, as it runs the helper: under ThreadSanitizer no thread may start in this process
    // once it has forked.
    void overHttps();
    void exitOfARun_data();
    void exitOfARun();

private:
    TestHttpServer m_server;
    QString m_clientId;
};

void TestDiag::initTestCase()
{
    QFile::remove(qEnvironmentVariable("XDG_STATE_HOME") + kLogName); // from an earlier run
    ITSetAnalyticsConfig(configFor(m_server.url({})));
}

void TestDiag::firstCallWritesBanner()
{
    // Local time at UTC+14: a stamp written in UTC would be 14 hours off. Digits must not
    // follow the user's locale.
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
        const auto m = QRegularExpression('^' + kStamp + "  " + expected[i] + '$').match(lines[i]);
        QDateTime stamp = QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss.zzz");
        stamp.setTimeZone(QTimeZone(14 * 3600));
        QVERIFY2(m.hasMatch() && stamp >= before && stamp <= QDateTime::currentDateTimeUtc(),
                 qPrintable(lines[i]));
    }
}

void TestDiag::linesFromThreadsKeepTheirOrder()
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

    // Every line whole, none lost, each thread's lines in the order logged.
    int next[kThreads] = {};
    const QRegularExpression re('^' + kStamp + "  TEST: thread (\\d) line (\\d+)$");
    for (const QString &line : logText().split(u'\n')) {
        if (const QRegularExpressionMatch m = re.match(line); m.hasMatch())
            QCOMPARE(m.captured(3).toInt(), next[m.captured(2).toInt()]++);
    }
    for (int t = 0; t < kThreads; ++t)
        QCOMPARE(next[t], kLines);
}

void TestDiag::requestPair_data()
{
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("logged"); // the validation answer as logged
    QTest::newRow("no_reason") << QString() << 200 << QByteArray("\n{\n  \"messages\": []\n}\n\n")
                               << "{\n  \"messages\": []\n}";
    QTest::newRow("empty_reason") << "" << 204 << QByteArray() << "";
    QTest::newRow("reason") << "download_error_http_503" << 500 << QByteArray(" oops\r\n")
                            << "oops";
}

void TestDiag::requestPair()
{
    QFETCH(QString, reason);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    const QString name = QTest::currentDataTag(), code = QString::number(status);
    m_server.clearRequests();
    m_server.setHandler([=](const HttpRequest &) { return HttpResponse::make(status, answer); });
    ITTrackEvent(name, reason);
    QVERIFY(logHasLine(QString("GA: event %1 reason=\"%2\"").arg(name, reason)));
    QTRY_VERIFY(logHasLine(QString("GA: %1 mp/collect -> HTTP %2").arg(name, code)));
    QTRY_VERIFY(logHasLine(
        QString("GA: %1 debug/mp/collect -> HTTP %2, validation: %3").arg(name, code, logged)));

    const QList<HttpRequest> reqs = m_server.requests();
    QStringList targets;
    for (const HttpRequest &r : reqs) {
        QCOMPARE(r.method + ' ' + r.header("Content-Type"), "POST application/json");
        QCOMPARE(r.body, reqs[0].body);
        targets << QString::fromLatin1(r.target);
    }
    targets.sort();
    QCOMPARE(targets, QStringList({"/debug/mp/collect" + kQuery, "/mp/collect" + kQuery}));
    // Compact, "params" present even when empty, one upper-case client id per process.
    const QString id = QJsonDocument::fromJson(reqs[0].body)["client_id"].toString();
    QVERIFY(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$").match(id).hasMatch());
    QCOMPARE(id, m_clientId.isEmpty() ? (m_clientId = id) : m_clientId);
    const QString params = reason.isEmpty() ? "" : QString(R"("reason":"%1")").arg(reason);
    QCOMPARE(QString::fromUtf8(reqs[0].body),
             QString(R"({"client_id":"%1","events":[{"name":"%2","params":{%3}}]})")
                 .arg(id, name, params));
}

// A request that is never answered ends at its timeout and is logged with libcurl's cause.
void TestDiag::transportError()
{
    QTcpServer silent; // accepts no connection, answers nothing
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    ITSetAnalyticsConfig(configFor(QString("http://127.0.0.1:%1").arg(silent.serverPort()), 300));
    ITTrackEvent("never_answers");
    for (const char *label : {"mp/collect", "debug/mp/collect"})
        QTRY_VERIFY(logText().contains(QRegularExpression(
            QString("  GA: never_answers %1 ERROR [^\n]*timed out").arg(label))));
}

void TestDiag::emptySecretSendsNothing()
{
    m_server.clearRequests();
    ITSetAnalyticsConfig({m_server.url({}), "G-TEST000001", "", 5000});
    ITTrackEvent("skipped_event", "why");
    QVERIFY(logHasLine("GA: SKIPPED skipped_event - API_SECRET not configured"));
    QVERIFY(!logText().contains("GA: event skipped_event"));
    // Posts keep their order, so once a later event has arrived the skipped one would have too.
    ITSetAnalyticsConfig(configFor(m_server.url({})));
    ITTrackEvent("after_skip");
    QTRY_COMPARE(m_server.requestCount(), 2);
    for (const HttpRequest &r : m_server.requests())
        QVERIFY(r.body.contains("after_skip"));
}

void TestDiag::finishAtExit_data()
{
    QTest::addColumn<int>("answerMs"); // how late the answers' bodies end; -1: never answered
    QTest::addColumn<int>("deadlineMs");
    QTest::newRow("answered before the end") << 0 << 3000;
    QTest::newRow("answered during the end") << 300 << 3000;
    QTest::newRow("never answered") << -1 << 200;
}

// An event sent just before the end still arrives and is answered within the deadline, and one
// never answered is abandoned at it. With every post answered the end comes at once, by its
// own wake-up, as the thread would sleep far past the deadline.
void TestDiag::finishAtExit()
{
    QFETCH(int, answerMs);
    QFETCH(int, deadlineMs);
    HttpResponse answer = HttpResponse::make(200, "{}");
    answer.noAnswer = answerMs < 0;
    answer.pieceSize = 1;
    answer.pieceDelayMs = answerMs;
    m_server.setHandler([=](const HttpRequest &) { return answer; });
    const QString name = QString("exit%1").arg(answerMs + 1);
    diag::AnalyticsPoster poster({std::chrono::seconds(10), std::chrono::seconds(30)});
    diag::AnalyticsPoster *const previous = diag::setAnalyticsPoster(&poster);
    const auto restore = qScopeGuard([&] { diag::setAnalyticsPoster(previous); });
    ITTrackEvent(name);
    if (answerMs == 0)
        QTRY_VERIFY(logHasLine("GA: " + name + " debug/mp/collect -> HTTP 200, validation: {}") &&
                    logHasLine("GA: " + name + " mp/collect -> HTTP 200"));
    QCOMPARE(poster.finish(QDeadlineTimer(deadlineMs)), answerMs >= 0);
    QCOMPARE(logHasLine("GA: " + name + " mp/collect -> HTTP 200"), answerMs >= 0);
}

// Events reach their endpoint over HTTPS, verified against the system's store, which holds the
// test's CA only for threads started once it is in place: the poster is made after it. nginx
// hands the requests on to this process's server, so what arrived can be read there.
void TestDiag::overHttps()
{
    if (!TlsNginx::installed())
        QSKIP("nginx is not installed (Debian package nginx-light)");
    TlsNginx nginx(m_server.port());
    QVERIFY(nginx.start());
    const TestTrustStore trust(nginx.caFile());
    if (!trust.active())
        QSKIP("no private mount namespace here (needs CAP_SYS_ADMIN)");
    m_server.clearRequests();
    m_server.setHandler([](const HttpRequest &) { return HttpResponse::make(200, "{}"); });
    AnalyticsConfig config = ITDefaultAnalyticsConfig();
    const AnalyticsConfig before = config;
    config.baseUrl = QString("https://localhost:%1").arg(nginx.tlsPort("relay"));
    config.apiSecret = "s";
    ITSetAnalyticsConfig(config);
    diag::AnalyticsPoster poster({std::chrono::seconds(10), std::chrono::seconds(30)});
    diag::AnalyticsPoster *const previous = diag::setAnalyticsPoster(&poster);
    const auto restore = qScopeGuard([&] {
        diag::setAnalyticsPoster(previous);
        ITSetAnalyticsConfig(before);
    });
    ITTrackEvent("overHttps");
    QTRY_COMPARE(m_server.requestCount(), 2);
    for (const HttpRequest &r : m_server.requests())
        QVERIFY(r.method == "POST" && r.body.contains(R"("name":"overHttps")"));
    QTRY_VERIFY(logHasLine("GA: overHttps mp/collect -> HTTP 200") &&
                logHasLine("GA: overHttps debug/mp/collect -> HTTP 200, validation: {}"));
}

void TestDiag::exitOfARun_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QStringList>("args"); // lines to log, their padding, how long to drain
    QTest::addColumn<int>("lines");        // in the log (or what stands there) at the end
    const QStringList one{"1", "0", "500"};
    QTest::newRow("appends to a log") << "earlier run" << one << 1 + 4;
    QTest::newRow("drained") << "" << QStringList{"5000", "200", "10000"} << 3 + 5000;
    QTest::newRow("pipe: not written") << "pipe" << one << 0;
    QTest::newRow("link: not followed") << "link" << one << 1; // its target as it was
    QTest::newRow("no log folder: works") << "no folder" << one << 0;
}

void TestDiag::exitOfARun()
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
    int reader = -1;
    const auto closeReader = qScopeGuard([&] {
        if (reader >= 0)
            ::close(reader);
    });
    if (log == "pipe") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
    }
    // The helper logs into a state folder of its own; this process's log stays where it is.
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_STATE_HOME", state);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(DIAG_HELPER), args);
    QVERIFY(p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && !p.exitCode());
    QByteArray text(4096, 0);
    text.resize(reader >= 0 ? qMax<qsizetype>(0, ::read(reader, text.data(), text.size())) : 0);
    if (QFile file(target); reader < 0 && file.open(QIODevice::ReadOnly))
        text = file.readAll();
    QCOMPARE(text.count('\n'), lines);
}

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT); // before any thread, as the installer does
    QCoreApplication app(argc, argv);
    diag::Diagnostics diagnostics;
    TestDiag test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_diag.moc"
