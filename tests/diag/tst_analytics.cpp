#include "diag/analytics.h"
#include "diag/itlog.h"
#include "testhttpserver.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <curl/curl.h>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

namespace {

const QString kQuery = QStringLiteral("?measurement_id=G-TEST000001&api_secret=s3cr-et_");

QString logText()
{
    ITLogDrain(200);
    QFile file(ITLogFilePath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The message of a whole log line, after its timestamp and two spaces.
bool logHasLine(const QString &message)
{
    return logText().contains(QStringLiteral("  ") + message + u'\n');
}

AnalyticsConfig configFor(const QString &baseUrl, int timeoutMs = 5000)
{
    return {baseUrl, QStringLiteral("G-TEST000001"), QStringLiteral("s3cr-et_"), timeoutMs};
}

QString baseOf(const TestHttpServer &server)
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.port());
}

} // namespace

class TestAnalytics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestPair_data();
    void requestPair();
    void answersAreLogged_data();
    void answersAreLogged();
    void transportErrors_data();
    void transportErrors();
    void emptySecretSendsNothing();
    void exitDoesNotWaitForSlowEndpoint();

private:
    std::unique_ptr<TestHttpServer> m_server;
    QString m_clientId;
};

void TestAnalytics::initTestCase()
{
    QCOMPARE(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
    // Start from an empty log in the test's own state folder.
    QFile::remove(qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/quillmarsh-installer.log");
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->isListening());
    m_server->setHandler([](const HttpRequest &) { return HttpResponse::make(204); });
    ITSetAnalyticsConfig(configFor(baseOf(*m_server)));
}

void TestAnalytics::requestPair_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QJsonObject>("params");
    QTest::newRow("no reason") << "setup_run" << QString() << QJsonObject();
    QTest::newRow("empty reason") << "install_start" << "" << QJsonObject();
    QTest::newRow("reason") << "install_failed" << "download_error_http_503"
                            << QJsonObject {{"reason", "download_error_http_503"}};
}

void TestAnalytics::requestPair()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QFETCH(QJsonObject, params);
    m_server->clearRequests();
    ITTrackEvent(name, reason);
    QVERIFY(logHasLine(QStringLiteral("GA: event %1 reason=\"%2\"").arg(name, reason)));
    QTRY_COMPARE(m_server->requestCount(), 2);

    const QList<HttpRequest> reqs = m_server->requests();
    QStringList targets;
    for (const HttpRequest &r : reqs) {
        QCOMPARE(r.method, "POST");
        QCOMPARE(r.header("Content-Type"), "application/json");
        QCOMPARE(r.body, reqs[0].body);
        targets << QString::fromLatin1(r.target);
    }
    targets.sort();
    QCOMPARE(targets, QStringList({"/debug/mp/collect" + kQuery, "/mp/collect" + kQuery}));

    // Compact JSON, and "params" present even when empty.
    QVERIFY(!reqs[0].body.contains(' '));
    const QJsonObject body = QJsonDocument::fromJson(reqs[0].body).object();
    QCOMPARE(body.size(), 2);
    const QString id = body.value("client_id").toString();
    QVERIFY(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                .match(id).hasMatch());
    if (m_clientId.isEmpty())
        m_clientId = id;
    QCOMPARE(id, m_clientId);
    const QJsonArray events = body.value("events").toArray();
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].toObject(), (QJsonObject {{"name", name}, {"params", params}}));
}

void TestAnalytics::answersAreLogged_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("logged");
    QTest::newRow("multi-line answer")
        << 200 << QByteArray("\n{\n  \"validationMessages\": []\n}\n\n")
        << "{\n  \"validationMessages\": []\n}";
    QTest::newRow("empty answer") << 204 << QByteArray() << "";
    QTest::newRow("server error") << 500 << QByteArray(" oops\r\n") << "oops";
}

void TestAnalytics::answersAreLogged()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, logged);
    const QString name = QStringLiteral("answer_%1").arg(QTest::currentDataTag()).replace(' ', '_');
    m_server->setHandler([=](const HttpRequest &) { return HttpResponse::make(status, answer); });
    ITTrackEvent(name);
    const QString collect = QStringLiteral("GA: %1 mp/collect -> HTTP %2").arg(name).arg(status);
    const QString debug = QStringLiteral("GA: %1 debug/mp/collect -> HTTP %2, validation: %3")
                              .arg(name).arg(status).arg(logged);
    QTRY_VERIFY(logHasLine(collect) && logHasLine(debug));
    m_server->setHandler([](const HttpRequest &) { return HttpResponse::make(204); });
}

void TestAnalytics::transportErrors_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("cause");
    QTest::newRow("never answers") << true << "timed out";
    QTest::newRow("refused") << false << "connect";
}

void TestAnalytics::transportErrors()
{
    QFETCH(bool, listening);
    QFETCH(QString, cause);
    auto server = std::make_unique<TestHttpServer>();
    server->setHandler([](const HttpRequest &) {
        HttpResponse r;
        r.noAnswer = true;
        return r;
    });
    const QString base = baseOf(*server);
    if (!listening)
        server.reset(); // the port is closed now
    ITSetAnalyticsConfig(configFor(base, 300));
    const QString name =
        listening ? QStringLiteral("timeout_event") : QStringLiteral("refused_event");
    ITTrackEvent(name);
    for (const char *label : {"mp/collect", "debug/mp/collect"}) {
        const QRegularExpression re(
            QStringLiteral("  GA: %1 %2 ERROR [^\n]*%3").arg(name, label, cause),
            QRegularExpression::CaseInsensitiveOption);
        QTRY_VERIFY2(re.match(logText()).hasMatch(), qPrintable(logText().right(400)));
    }
    ITSetAnalyticsConfig(configFor(baseOf(*m_server)));
}

void TestAnalytics::emptySecretSendsNothing()
{
    m_server->clearRequests();
    AnalyticsConfig c = configFor(baseOf(*m_server));
    c.apiSecret.clear();
    ITSetAnalyticsConfig(c);
    ITTrackEvent(QStringLiteral("skipped_event"), QStringLiteral("why"));
    QVERIFY(logHasLine(QStringLiteral("GA: SKIPPED skipped_event - API_SECRET not configured")));
    QVERIFY(!logText().contains(QStringLiteral("GA: event skipped_event")));

    // Posts keep their order on the network thread, so once a later event has arrived the
    // skipped one would have too.
    ITSetAnalyticsConfig(configFor(baseOf(*m_server)));
    ITTrackEvent(QStringLiteral("after_skip"));
    QTRY_COMPARE(m_server->requestCount(), 2);
    for (const HttpRequest &r : m_server->requests())
        QVERIFY(r.body.contains("after_skip"));
}

void TestAnalytics::exitDoesNotWaitForSlowEndpoint()
{
    // A listening socket accepted here and never answered. No server threads: under
    // ThreadSanitizer no thread may start in this process once it has spawned the helper.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QVERIFY(listener >= 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&addr), len) == 0);
    QVERIFY(::listen(listener, 4) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0);

    QTemporaryDir state;
    QProcess helper;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_STATE_HOME"), state.path());
    helper.setProcessEnvironment(env);
    helper.start(QStringLiteral(ANALYTICS_HELPER),
                 {QStringLiteral("http://127.0.0.1:%1").arg(ntohs(addr.sin_port))});
    QList<int> accepted;
    pollfd pfd {listener, POLLIN, 0};
    while (accepted.size() < 2 && ::poll(&pfd, 1, 20000) > 0)
        accepted << ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    QCOMPARE(accepted.size(), 2);

    // The helper's requests wait 60 s for an answer; ending it must not wait for them.
    helper.closeWriteChannel();
    const bool finished = helper.waitForFinished(20000);
    for (int fd : accepted)
        ::close(fd);
    ::close(listener);
    QVERIFY(finished);
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestAnalytics)
#include "tst_analytics.moc"
