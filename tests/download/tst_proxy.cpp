#include "diag/analytics.h"
#include "diag/itlog.h"
#include "download/transfer.h"
#include "download/transportfailure.h"
#include "platform/proxy.h"
#include "testhttpserver.h"
#include "testmain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <openssl/x509_vfy.h>
#include <thread>

using namespace platform;
using namespace testsupport;
using download::TransportFailure;

namespace {

constexpr char kPassword[] = "Se_cret9"; // tinyproxy takes no character that needs encoding

// A desktop's settings and what a download to the test's server does under them. Ports are
// written %P (a proxy), %A (one asking for alice's password), %D (nobody), %S (the server);
// %Q is a socket that takes connections and never speaks; %T is nginx's TLS port, with a
// certificate for localhost from the test's CA.
struct Desktop
{
    QString env{};    // http_proxy
    QString gnome{};  // GNOME's settings for a real portal, as desktop.sh takes them
    QByteArray kde{}; // kioslaverc
    TransportFailure failure = TransportFailure::None;
    QString route{};                                    // as the log says once for the host
    bool analytics = false;                             // the events take the same way
    QString url = "http://127.0.0.1:%S/quillmarsh.dmg"; // https: the proxy is asked to CONNECT
    QString bus = "unix:path=%B";
    int waitMs = 0;    // how long the desktop is waited on before it counts as absent
    QString proxied{}; // a line of the log of the proxy on %P
};

} // namespace

class TestProxy : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TestHttpServer m_server;       // lets through only what came through tinyproxy (its Via header)
    QProcess m_services, m_portal; // the bus and the proxies; the portal
    QLocalServer m_silent;         // never accepts, as the test's thread waits for the download
    TlsNginx m_nginx;
    std::optional<TestTrustStore> m_trust; // the test's CA, for this thread and the downloads'
    QMap<QString, QString> m_ports;
    QString m_missing; // why the desktop rows cannot run here

    QString expand(QString text) const
    {
        for (auto it = m_ports.cbegin(); it != m_ports.cend(); ++it)
            text.replace(it.key(), it.value());
        return text;
    }

private slots:
    void initTestCase()
    {
        for (const char *v : {"all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY", "https_proxy",
                              "HTTPS_PROXY", "http_proxy"})
            qunsetenv(v);
        QVERIFY(m_dir.isValid());
        m_ports["%B"] = m_dir.filePath("bus");
        for (const char *name : {"%P", "%A", "%D"})
            m_ports[name] = QString::number(freeLoopbackPort());
        QVERIFY(m_silent.listen(m_dir.filePath("silent")));
        m_ports["%Q"] = m_silent.fullServerName();
        m_ports["%S"] = QString::number(m_server.port());
        const QByteArray pac = expand("function FindProxyForURL(u, h) { return \"PROXY "
                                      "127.0.0.1:%D; PROXY 127.0.0.1:%A; PROXY 127.0.0.1:%P\"; }")
                                   .toUtf8();
        m_server.setHandler([pac](const HttpRequest &r) {
            if (r.path() == "/proxy.pac")
                return HttpResponse::make(200, pac);
            return HttpResponse::make(r.header("Via").contains("tinyproxy") ? 200 : 403,
                                      QByteArray(r.method == "GET" ? 64 * 1024 : 2, 'q'));
        });
        QByteArray out;
        m_services.setProcessChannelMode(QProcess::MergedChannels);
        m_services.start(QFINDTESTDATA("desktop.sh"),
                         {"start", m_dir.path(), m_ports["%P"], m_ports["%A"], "alice", kPassword});
        QVERIFY(QTest::qWaitFor([&] { return (out += m_services.readAll()).contains("\n"); }));
        m_missing = out.startsWith("not installed") ? QString::fromUtf8(out).trimmed() : QString();
        QVERIFY2(out == "ready\n" || !m_missing.isEmpty(), out.constData());
        if (m_missing.isEmpty() && !TlsNginx::installed())
            m_missing = "not installed: nginx";
        QVERIFY(!m_missing.isEmpty() || m_nginx.start());
        if (m_missing.isEmpty() && !m_trust.emplace(m_nginx.caFile()).active())
            m_missing = "no private mount namespace for the test's CA (needs CAP_SYS_ADMIN)";
        m_ports["%T"] = QString::number(m_nginx.tlsPort("good"));
        m_ports["%U"] = QString::number(m_nginx.tlsPort("untrusted"));
        QVERIFY(!m_missing.isEmpty() ||
                writeFile(m_nginx.www() + "/quillmarsh.dmg", QByteArray(64 * 1024, 'q')));
        // Set once the services run: QProcess's vfork child runs on this thread's sanitizer
        // state, and ThreadSanitizer would take the analytics thread's read of it for a race.
        qputenv("DBUS_SESSION_BUS_ADDRESS", expand("unix:path=%B").toUtf8());
    }
    void cleanupTestCase()
    {
        for (QProcess *p : {&m_portal, &m_services})
            p->terminate(), p->waitForFinished();
    }

    // What each source of settings makes of its text; the portal's as GLib's resolver answers.
    void decisions_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("text"); // the answer's entries, the file's or variables' lines
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("routes");
        const QString h = "https://dl.example.org/x";
        // clang-format off
        QTest::newRow("portal: direct first") << "portal" << "direct://\nhttps://p:8443" << h << "direct | https://p:8443";
        QTest::newRow("portal: missing ports") << "portal" << "http://p\nhttps://p\nsocks4://p" << h << "http://p:80 | https://p:443 | socks4://p:1080";
        QTest::newRow("portal: SOCKS names left to the proxy") << "portal" << "socks://p:1\nsocks5://p:2\nsocks5h://p:3\nsocks4a://p:4" << h << "socks5h://p:1 | socks5h://p:2 | socks5h://p:3 | socks4a://p:4";
        QTest::newRow("portal: percent-encoded password") << "portal" << "http://al%20ice:p%40ss%3Aw%25rd@[::1]:3128" << h << "http://[::1]:3128 al ice:p@ss:w%rd";
        QTest::newRow("portal: unusable entries left out") << "portal" << "ftp://p:21\nhttp://\ntwo words\nhttp://p:1/path\ndirect://" << h << "direct";
        QTest::newRow("KDE: \"host:port\", https") << "KDE" << "ProxyType=1\nhttpProxy=other:1\nhttpsProxy=proxy.corp:3129" << h << "http://proxy.corp:3129";
        QTest::newRow("KDE: SOCKS after it, IPv6") << "KDE" << "ProxyType=1\nhttpsProxy=http://[fd00::1] 8080\nsocksProxy=socks://[fd00::2] 1080" << h << "http://[fd00::1]:8080 | socks5h://[fd00::2]:1080";
        QTest::newRow("KDE: listed domain goes directly") << "KDE" << "ProxyType=1\nhttpsProxy=p 1\nNoProxyFor=localhost,.example.org" << h << "direct";
        QTest::newRow("KDE: reversed, only the listed") << "KDE" << "ProxyType=1\nhttpsProxy=p 1\nNoProxyFor=other.org\nReversedException=true" << h << "direct";
        QTest::newRow("KDE: other groups, key flags") << "KDE" << "ProxyType=0\n[Other]\nProxyType=1\nhttpsProxy=q 2\n[Proxy Settings]\nProxyType[$e]=1\nhttpsProxy=p 1" << h << "http://p:1";
        QTest::newRow("KDE: PAC is its resolver's") << "KDE" << "ProxyType=2\nProxy Config Script=http://wpad/wpad.dat" << h << "none";
        QTest::newRow("env: HTTPS_PROXY, no scheme") << "env" << "HTTPS_PROXY=p:3128" << h << "http://p:3128";
        QTest::newRow("env: HTTP_PROXY never read") << "env" << "HTTP_PROXY=http://p:1" << "http://h/x" << "none";
        QTest::newRow("env: http_proxy not for https") << "env" << "http_proxy=http://p:1" << h << "none";
        QTest::newRow("env: all_proxy, port left to libcurl") << "env" << "http_proxy=\nALL_PROXY=socks5://p" << "http://h/x" << "socks5://p";
        QTest::newRow("env: no_proxy domain") << "env" << "https_proxy=p:1\nno_proxy=other.org, *.example.org" << h << "direct";
        QTest::newRow("env: NO_PROXY address") << "env" << "https_proxy=p:1\nNO_PROXY=10.0.0.9,::1" << "https://[::1]:8/x" << "direct";
        QTest::newRow("env: no_proxy everything") << "env" << "https_proxy=p:1\nno_proxy=*" << h << "direct";
        QTest::newRow("env: no_proxy, half a name") << "env" << "https_proxy=p:1\nNO_PROXY=ample.org" << h << "http://p:1";
        QTest::newRow("env: no_proxy network") << "env" << "http_proxy=p:1\nno_proxy=10.0.0.0/8" << "http://10.1.2.3/x" << "direct";
        // clang-format on
    }
    void decisions()
    {
        QFETCH(QString, source);
        QFETCH(QString, text);
        QFETCH(QString, url);
        QFETCH(QString, routes);
        const QStringList vars = source == "env" ? text.split(u'\n') : QStringList();
        for (const QString &line : vars) // in the process's own environment, as the installer's
            qputenv(qPrintable(line.section(u'=', 0, 0)), line.section(u'=', 1).toUtf8());
        const auto unset = qScopeGuard([&] {
            for (const QString &line : vars)
                qunsetenv(qPrintable(line.section(u'=', 0, 0)));
        });
        const KdeProxySettings kde = parseKioslaverc("[Proxy Settings]\n" + text.toUtf8());
        // The routes as "url user:password | direct"; none when the source has no say.
        const auto render = [](const QList<ProxyRoute> &routes) {
            QStringList out;
            for (const ProxyRoute &r : routes)
                out << (r.isDirect() ? QStringLiteral("direct") : r.url) +
                           (r.user.isEmpty() ? QString() : u' ' + r.user + u':' + r.password);
            return out.join(QStringLiteral(" | "));
        };
        QCOMPARE(source == "portal" ? render(parseProxyList(text.split(u'\n')))
                 : source == "KDE"
                     ? (kde.type == 1 ? render(kdeManualRoutes(QUrl(url), kde)) : "none")
                 : decideProxy(QUrl(url)).source == ProxySource::Environment
                     ? render(decideProxy(QUrl(url)).routes)
                     : "none",
                 routes);
    }

    void classification_data()
    {
        QTest::addColumn<QList<int>>("in"); // curl code, OpenSSL's verdict, proxy's answer, via one
        QTest::addColumn<TransportFailure>("failure");
        using T = TransportFailure;
        const int verify = CURLE_PEER_FAILED_VERIFICATION, connect = CURLE_COULDNT_CONNECT;
        // clang-format off
        QTest::newRow("past the proxy, certificate not yet valid") << QList<int>{verify, X509_V_ERR_CERT_NOT_YET_VALID, 200, 1} << T::CertificateExpired;
        QTest::newRow("name checked by libcurl, chain good") << QList<int>{verify, X509_V_OK, 0, 0} << T::CertificateWrongHost;
        QTest::newRow("CONNECT answered 407") << QList<int>{CURLE_RECV_ERROR, 0, 407, 1} << T::ProxyAuthRequired;
        QTest::newRow("CONNECT refused the password: 401") << QList<int>{CURLE_RECV_ERROR, 0, 401, 1} << T::ProxyAuthRequired;
        QTest::newRow("CONNECT forbidden: 403") << QList<int>{CURLE_RECV_ERROR, 0, 403, 1} << T::ProxyFailed;
        QTest::newRow("SOCKS proxy refused the server") << QList<int>{CURLE_PROXY, 0, 0, 1} << T::ProxyFailed;
        QTest::newRow("proxy not listening") << QList<int>{connect, 0, 0, 1} << T::ProxyFailed;
        QTest::newRow("server name not found") << QList<int>{CURLE_COULDNT_RESOLVE_HOST, 0, 0, 0} << T::HostNotFound;
        QTest::newRow("server not listening") << QList<int>{connect, 0, 0, 0} << T::NoConnection;
        // clang-format on
    }
    void classification()
    {
        QFETCH(QList<int>, in);
        QFETCH(TransportFailure, failure);
        QCOMPARE(download::classifyTransportFailure(in[0], in[1], in[2], in[3]), failure);
    }

    void desktop_data()
    {
        QTest::addColumn<Desktop>("d");
        using T = TransportFailure;
        const QString viaP = "through http://127.0.0.1:%P ", viaA = "through http://127.0.0.1:%A ";
        const QString portal = "(from the desktop portal)", env = "(from the environment)";
        // clang-format off
        QTest::newRow("environment beside GNOME") << Desktop{"http://127.0.0.1:%P", "manual %D", {}, T::None, viaP + env};
        QTest::newRow("GNOME, manual") << Desktop{{}, "manual %P", {}, T::None, viaP + portal, true};
        QTest::newRow("GNOME, PAC, a dead proxy, one asking") << Desktop{{}, "auto http://127.0.0.1:%S/proxy.pac", {}, T::None, "through http://127.0.0.1:%D, then through http://127.0.0.1:%A, then " + viaP + portal, true};
        QTest::newRow("GNOME, stored password") << Desktop{{}, QString("manual %A alice ") + kPassword, {}, T::None, viaA + portal};
        QTest::newRow("GNOME, no password for it") << Desktop{{}, "manual %A", {}, T::ProxyAuthRequired, viaA + portal};
        QTest::newRow("GNOME, https, no password for it") << Desktop{.gnome = "manual %A", .failure = T::ProxyAuthRequired, .route = viaA + portal, .url = "https://127.0.0.1:%S/quillmarsh.dmg"};
        QTest::newRow("GNOME, https, CONNECT to nginx") << Desktop{.gnome = "manual %P", .route = viaP + portal, .url = "https://localhost:%T/quillmarsh.dmg", .proxied = "CONNECT localhost:%T "};
        QTest::newRow("proxy over TLS, certificate untrusted") << Desktop{.env = "https://localhost:%U", .failure = T::ProxyFailed, .route = "through https://localhost:%U (from the environment)"};
        QTest::newRow("KDE, no portal") << Desktop{{}, {}, "[Proxy Settings]\nProxyType=1\nhttpProxy=http://127.0.0.1 %P\n", T::None, viaP + "(from KDE's settings)"};
        QTest::newRow("nothing set") << Desktop{{}, {}, {}, T::None, "directly (no proxy set)"};
        QTest::newRow("bus never speaks") << Desktop{.route = "directly (no proxy set)", .bus = "unix:path=%Q", .waitMs = 1000};
        QTest::newRow("bus never speaks, asked again") << Desktop{.route = "directly (no proxy set)", .bus = "unix:path=%Q"};
        QTest::newRow("portal never answers") << Desktop{.gnome = "silent", .route = "directly (no proxy set)", .waitMs = 1000};
        // clang-format on
    }
    void desktop()
    {
        QFETCH(Desktop, d);
        if (!m_missing.isEmpty())
            QSKIP(qPrintable(m_missing + " (scripts/bootstrap)"));
        qputenv("DBUS_SESSION_BUS_ADDRESS", expand(d.bus).toUtf8());
        m_portal.terminate();
        m_portal.waitForFinished();
        m_portal.start(QFINDTESTDATA("desktop.sh"),
                       QStringList{"desktop", m_dir.path(), expand(d.kde)} +
                           expand(d.gnome).split(u' ', Qt::SkipEmptyParts));
        if (d.gnome.isEmpty()) // no portal on the bus, KDE's settings if any
            QVERIFY(m_portal.waitForFinished() && m_portal.exitCode() == 0);
        else
            QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                "org.freedesktop.portal.Desktop"));
        qputenv("http_proxy", expand(d.env).toUtf8()); // empty: none

        QTemporaryFile file;
        QVERIFY(file.open());
        download::TransferResult r; // on a thread of its own, as downloads run
        QElapsedTimer clock;
        clock.start();
        const QUrl url(expand(d.url));
        std::thread([&] {
            r = download::runTransfer(
                {.url = url.toString(), .fd = file.handle(), .timeoutMs = 20000});
        }).join();
        QVERIFY2(clock.elapsed() >= d.waitMs * 9 / 10 && clock.elapsed() < d.waitMs + 1000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(download::classifyTransportFailure(r.code, r.sslVerifyResult, r.proxyStatus,
                                                    !r.proxy.isEmpty()),
                 d.failure);
        // The server answers the proxy alone; directly, it refuses.
        const bool ok = d.failure == TransportFailure::None, direct = d.route.startsWith("direct");
        QCOMPARE(r.httpStatus, !ok ? 0L : direct ? 403L : 200L);
        QVERIFY(ok || r.message.contains(expand(d.route.section(' ', 1, 1)))); // names the proxy
        const QString log = logText();
        QVERIFY2(
            log.contains("  DL: " + platform::hostAndPort(url) + " reached " + expand(d.route)),
            qPrintable(log));
        QVERIFY(readText(expand(m_dir.path() + "/proxy-%P.log")).contains(expand(d.proxied)));
        QVERIFY(!log.contains(kPassword));
        if (d.analytics) { // both posts, the event and its validation (the server's answer alone)
            ITSetAnalyticsConfig({m_server.url({}), "G-TEST000001", "s", 5000});
            const qsizetype before = logText().size();
            ITTrackEvent("through_proxy");
            QTRY_COMPARE(logText().mid(before).count(QRegularExpression(
                             "GA: through_proxy \\S+ -> HTTP 200(, validation: qq)?\n")),
                         2);
        }
    }
};

QM_TEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"
