#include "diag/analytics.h"
#include "diag/itlog.h"
#include "download/transfer.h"
#include "download/transportfailure.h"
#include "platform/proxy.h"
#include "testhttpserver.h"
#include "testmain.h"
#include "tlsnginx.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <openssl/x509_vfy.h>

using namespace platform;
using namespace testsupport;
using download::TransportFailure;

namespace {

const QByteArray kImage(64 * 1024, 'q');
constexpr char kPassword[] = "Se_cret9"; // tinyproxy takes no character that needs encoding
constexpr char kPortal[] = "/usr/libexec/xdg-desktop-portal";
constexpr char kPacRunner[] = "/usr/libexec/glib-pacrunner";

// "url user:password | direct | ..."
QString render(const QList<ProxyRoute> &routes)
{
    QStringList out;
    for (const ProxyRoute &r : routes)
        out << (r.isDirect() ? QStringLiteral("direct") : r.url) +
                   (r.user.isEmpty() && r.password.isEmpty() ? QString()
                                                             : u' ' + r.user + u':' + r.password);
    return out.join(QStringLiteral(" | "));
}

QString logText()
{
    ITLogDrain(2000);
    QFile f(ITLogFilePath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestProxy : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TestHttpServer m_server; // answers only what came through tinyproxy (its Via header)
    QProcess m_bus, m_portal, m_open, m_auth;
    QMap<QString, QString> m_ports; // %P open proxy, %A its twin with BasicAuth, %D nobody, %S server
    QString m_missing;              // why the desktop rows cannot run here

    QString expand(QString text) const
    {
        for (auto it = m_ports.begin(); it != m_ports.end(); ++it)
            text.replace(it.key(), it.value());
        return text;
    }
    bool startProxy(QProcess &p, const QString &port, const QString &extra)
    {
        const QString conf = m_dir.filePath(port + ".conf");
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(QString("Port %1\nListen 127.0.0.1\nTimeout 30\nLogLevel Info\nUser nobody\n"
                            "Group nogroup\n%2\n")
                        .arg(port, extra)
                        .toUtf8()) < 0)
            return false;
        f.close();
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStandardPaths::findExecutable("tinyproxy", {"/usr/bin", "/usr/sbin"}),
                {"-d", "-c", conf});
        QByteArray out;
        return p.waitForStarted(5000) &&
               QTest::qWaitFor([&] { return (out += p.readAll()).contains("Accepting connections") ||
                                            p.state() != QProcess::Running; },
                               5000) &&
               p.state() == QProcess::Running;
    }
    void stopPortal()
    {
        m_portal.terminate();
        m_portal.waitForFinished(5000);
    }

private slots:
    void initTestCase()
    {
        for (const char *v : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                              "no_proxy", "NO_PROXY"})
            qunsetenv(v);
        QVERIFY(m_dir.isValid() && QDir(m_dir.path()).mkpath("config") &&
                QDir(m_dir.path()).mkpath("services"));
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        qputenv("GSETTINGS_BACKEND", "keyfile");
        qputenv("XDG_CURRENT_DESKTOP", "GNOME");
        // The bus of this test alone; nothing on it is started but the PAC runner.
        const QString bus = "unix:path=" + m_dir.filePath("bus");
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.toUtf8());
        for (const char *name : {"P", "A", "D"})
            m_ports[QString("%") + name] = QString::number(freeLoopbackPort());
        m_ports["%S"] = QString::number(m_server.port());
        const QByteArray pac = expand("function FindProxyForURL(u, h) { return \"PROXY "
                                      "127.0.0.1:%D; PROXY 127.0.0.1:%P\"; }")
                                   .toUtf8();
        m_server.setHandler([pac](const HttpRequest &r) {
            if (r.path() == "/proxy.pac")
                return HttpResponse::make(200, pac);
            return HttpResponse::make(r.header("Via").contains("tinyproxy") ? 200 : 403,
                                      r.method == "GET" ? kImage : "{}");
        });
        for (const char *tool : {"tinyproxy", "dbus-daemon", "gsettings"})
            if (QStandardPaths::findExecutable(tool, {"/usr/bin", "/usr/sbin"}).isEmpty())
                m_missing += QString(" ") + tool;
        for (const char *tool : {kPortal, kPacRunner})
            if (!QFile::exists(tool))
                m_missing += QString(" ") + tool;
        if (!m_missing.isEmpty())
            return;
        QVERIFY(writeFile("services/pac.service", QString("[D-BUS Service]\nName=org.gtk.GLib."
                                                          "PACRunner\nExec=%1\n")
                                                      .arg(kPacRunner)));
        QVERIFY(writeFile("bus.conf", QString("<busconfig><type>session</type><listen>%1</listen>"
                                              "<servicedir>%2</servicedir><policy context="
                                              "\"default\"><allow send_destination=\"*\" "
                                              "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                              "<allow own=\"*\"/></policy></busconfig>")
                                          .arg(bus, m_dir.filePath("services"))));
        m_bus.start("dbus-daemon", {"--nofork", "--config-file=" + m_dir.filePath("bus.conf")});
        QTRY_VERIFY(QFile::exists(m_dir.filePath("bus")));
        QVERIFY(QDBusConnection::sessionBus().isConnected());
        QVERIFY(startProxy(m_open, m_ports["%P"], {}));
        QVERIFY(startProxy(m_auth, m_ports["%A"], QString("BasicAuth alice ") + kPassword));
    }
    void cleanupTestCase()
    {
        stopPortal();
        for (QProcess *p : {&m_open, &m_auth, &m_bus}) {
            p->terminate();
            p->waitForFinished(5000);
        }
    }

    // Answers as GLib's resolver gives them through the desktop portal.
    void proxyLists_data()
    {
        QTest::addColumn<QStringList>("answer");
        QTest::addColumn<QString>("routes");
        // clang-format off
        QTest::newRow("direct only") << QStringList{"direct://"} << "direct";
        QTest::newRow("proxy, then direct") << QStringList{"http://p.corp:3128", "direct://"} << "http://p.corp:3128 | direct";
        QTest::newRow("direct first") << QStringList{"direct://", "https://p:8443"} << "direct | https://p:8443";
        QTest::newRow("IPv6 literal") << QStringList{"http://[2001:db8::1]:8080"} << "http://[2001:db8::1]:8080";
        QTest::newRow("missing ports") << QStringList{"http://p", "https://p", "socks4://p"} << "http://p:80 | https://p:443 | socks4://p:1080";
        QTest::newRow("SOCKS names left to the proxy") << QStringList{"socks://p:1", "socks5://p:2", "socks5h://p:3", "socks4a://p:4"} << "socks5h://p:1 | socks5h://p:2 | socks5h://p:3 | socks4a://p:4";
        QTest::newRow("percent-encoded user and password") << QStringList{"http://al%20ice:p%40ss%3Aw%25rd@[::1]:3128"} << "http://[::1]:3128 al ice:p@ss:w%rd";
        QTest::newRow("unusable entries left out") << QStringList{"ftp://p:21", "http://", "two words", "http://p:1/path", "direct://"} << "direct";
        // clang-format on
    }
    void proxyLists()
    {
        QFETCH(QStringList, answer);
        QFETCH(QString, routes);
        QCOMPARE(render(parseProxyList(answer)), routes);
    }

    void kioslaverc_data()
    {
        QTest::addColumn<QByteArray>("settings"); // below [Proxy Settings]
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("routes"); // "type N" for a type that is not manual
        // clang-format off
        QTest::newRow("\"http://host port\"") << QByteArray("ProxyType=1\nhttpProxy=http://proxy.corp 3128") << "http://dl.example/x" << "http://proxy.corp:3128";
        QTest::newRow("\"host:port\", https") << QByteArray("ProxyType=1\nhttpProxy=other:1\nhttpsProxy=proxy.corp:3129") << "https://dl.example/x" << "http://proxy.corp:3129";
        QTest::newRow("SOCKS after it, IPv6") << QByteArray("ProxyType=1\nhttpsProxy=http://[fd00::1] 8080\nsocksProxy=socks://[fd00::2] 1080") << "https://dl.example/x" << "http://[fd00::1]:8080 | socks5h://[fd00::2]:1080";
        QTest::newRow("listed domain goes directly") << QByteArray("ProxyType=1\nhttpsProxy=p 1\nNoProxyFor=localhost,.example") << "https://dl.example/x" << "direct";
        QTest::newRow("reversed: only the listed") << QByteArray("ProxyType=1\nhttpsProxy=p 1\nNoProxyFor=other.org\nReversedException=true") << "https://dl.example/x" << "direct";
        QTest::newRow("other groups, key flags") << QByteArray("ProxyType=0\n[Other]\nProxyType=1\nhttpsProxy=q 2\n[Proxy Settings]\nProxyType[$e]=1\nhttpsProxy=p 1") << "https://dl.example/x" << "http://p:1";
        QTest::newRow("PAC: KDE's resolver") << QByteArray("ProxyType=2\nProxy Config Script=http://wpad/wpad.dat") << "https://dl.example/x" << "type 2";
        QTest::newRow("none") << QByteArray("ProxyType=0\nhttpsProxy=p 1") << "https://dl.example/x" << "type 0";
        // clang-format on
    }
    void kioslaverc()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, url);
        QFETCH(QString, routes);
        const KdeProxySettings kde = parseKioslaverc("[General]\n[Proxy Settings]\n" + settings);
        QCOMPARE(kde.type == 1 ? render(kdeManualRoutes(QUrl(url), kde))
                               : QString("type %1").arg(kde.type),
                 routes);
    }

    void environment_data()
    {
        QTest::addColumn<QStringList>("variables");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("routes"); // "none": the environment has no say
        // clang-format off
        QTest::newRow("https_proxy, credentials") << QStringList{"https_proxy=http://u:p%40@p:3128"} << "https://h/x" << "http://p:3128 u:p@";
        QTest::newRow("HTTPS_PROXY, no scheme") << QStringList{"HTTPS_PROXY=p:3128"} << "https://h/x" << "http://p:3128";
        QTest::newRow("HTTP_PROXY never read") << QStringList{"HTTP_PROXY=http://p:1"} << "http://h/x" << "none";
        QTest::newRow("http_proxy not for https") << QStringList{"http_proxy=http://p:1"} << "https://h/x" << "none";
        QTest::newRow("all_proxy, port left to libcurl") << QStringList{"http_proxy=", "ALL_PROXY=socks5://p"} << "http://h/x" << "socks5://p";
        QTest::newRow("no_proxy domain") << QStringList{"https_proxy=p:1", "no_proxy=other.org, example.org"} << "https://dl.example.org/x" << "direct";
        QTest::newRow("no_proxy, half a name") << QStringList{"https_proxy=p:1", "NO_PROXY=ample.org"} << "https://dl.example.org/x" << "http://p:1";
        QTest::newRow("no_proxy network") << QStringList{"http_proxy=p:1", "no_proxy=10.0.0.0/8"} << "http://10.1.2.3/x" << "direct";
        // clang-format on
    }
    void environment()
    {
        QFETCH(QStringList, variables);
        QFETCH(QString, url);
        QFETCH(QString, routes);
        QProcessEnvironment env;
        for (const QString &v : variables)
            env.insert(v.section(u'=', 0, 0), v.section(u'=', 1));
        const std::optional<ProxyDecision> d = environmentProxy(QUrl(url), env);
        QCOMPARE(d ? render(d->routes) : QString("none"), routes);
    }

    void classification_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("verify");      // CURLINFO_SSL_VERIFYRESULT
        QTest::addColumn<int>("proxyStatus"); // the proxy's own answer
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<TransportFailure>("failure");
        using T = TransportFailure;
        // clang-format off
        QTest::newRow("certificate not yet valid") << int(CURLE_PEER_FAILED_VERIFICATION) << X509_V_ERR_CERT_NOT_YET_VALID << 0 << false << T::CertificateExpired;
        QTest::newRow("past the proxy, the server's certificate") << int(CURLE_PEER_FAILED_VERIFICATION) << X509_V_ERR_CERT_HAS_EXPIRED << 200 << true << T::CertificateExpired;
        QTest::newRow("CONNECT answered 407") << int(CURLE_RECV_ERROR) << 0 << 407 << true << T::ProxyAuthRequired;
        QTest::newRow("CONNECT refused the password: 401") << int(CURLE_RECV_ERROR) << 0 << 401 << true << T::ProxyAuthRequired;
        QTest::newRow("proxy cannot reach the server") << int(CURLE_RECV_ERROR) << 0 << 502 << true << T::ProxyFailed;
        QTest::newRow("proxy not listening") << int(CURLE_COULDNT_CONNECT) << 0 << 0 << true << T::ProxyFailed;
        QTest::newRow("server not listening") << int(CURLE_COULDNT_CONNECT) << 0 << 0 << false << T::NoConnection;
        QTest::newRow("proxy name unknown") << int(CURLE_COULDNT_RESOLVE_PROXY) << 0 << 0 << true << T::ProxyFailed;
        // clang-format on
    }
    void classification()
    {
        QFETCH(int, code);
        QFETCH(int, verify);
        QFETCH(int, proxyStatus);
        QFETCH(bool, viaProxy);
        QFETCH(TransportFailure, failure);
        QCOMPARE(download::classifyTransportFailure(code, verify, proxyStatus, viaProxy), failure);
    }

    // Real desktops' settings through a real portal, real proxies; %P, %A, %D, %S as m_ports.
    void desktop_data()
    {
        QTest::addColumn<QString>("env");         // http_proxy
        QTest::addColumn<QStringList>("gnome");   // "schema key value", for gsettings; the portal
        QTest::addColumn<QByteArray>("kde");      // kioslaverc
        QTest::addColumn<TransportFailure>("failure");
        QTest::addColumn<QString>("route");       // as logged once for the host
        QTest::addColumn<bool>("analytics");      // the events take the same way
        using T = TransportFailure;
        const QString proxy = "org.gnome.system.proxy", http = proxy + ".http ";
        const QStringList manual{proxy + " mode 'manual'", proxy + " ignore-hosts []",
                                 http + "host '127.0.0.1'", http + "port %P"};
        QStringList stored = manual;
        stored << http + "port %A" << http + "use-authentication true"
               << http + "authentication-user 'alice'"
               << http + "authentication-password '" + kPassword + "'";
        QStringList unstored = manual;
        unstored << http + "port %A";
        QStringList deadManual = manual;
        deadManual << http + "port %D";
        const QStringList pac{proxy + " mode 'auto'", proxy + " ignore-hosts []",
                              proxy + " autoconfig-url 'http://127.0.0.1:%S/proxy.pac'"};
        const QByteArray none;
        // clang-format off
        QTest::newRow("environment") << "http://127.0.0.1:%P" << QStringList() << none << T::None << "through http://127.0.0.1:%P (from the environment)" << false;
        QTest::newRow("environment beside GNOME") << "http://127.0.0.1:%P" << deadManual << none << T::None << "through http://127.0.0.1:%P (from the environment)" << false;
        QTest::newRow("GNOME, manual") << "" << manual << none << T::None << "through http://127.0.0.1:%P (from the desktop portal)" << true;
        QTest::newRow("GNOME, PAC, first proxy dead") << "" << pac << none << T::None << "through http://127.0.0.1:%D, then through http://127.0.0.1:%P (from the desktop portal)" << false;
        QTest::newRow("GNOME, stored password") << "" << stored << none << T::None << "through http://127.0.0.1:%A (from the desktop portal)" << false;
        QTest::newRow("GNOME, no password for it") << "" << unstored << none << T::ProxyAuthRequired << "through http://127.0.0.1:%A (from the desktop portal)" << false;
        QTest::newRow("KDE, no portal") << "" << QStringList() << QByteArray("[Proxy Settings]\nProxyType=1\nhttpProxy=http://127.0.0.1 %P\n") << T::None << "through http://127.0.0.1:%P (from KDE's settings)" << false;
        QTest::newRow("nothing set") << "" << QStringList() << none << T::None << "directly (no proxy set)" << false;
        // clang-format on
    }
    void desktop()
    {
        QFETCH(QString, env);
        QFETCH(QStringList, gnome);
        QFETCH(QByteArray, kde);
        QFETCH(TransportFailure, failure);
        QFETCH(QString, route);
        QFETCH(bool, analytics);
        if (!m_missing.isEmpty())
            QSKIP(qPrintable("not installed:" + m_missing + " (scripts/bootstrap)"));
        stopPortal();
        QFile::remove(m_dir.filePath("config/glib-2.0/settings/keyfile"));
        QVERIFY(kde.isEmpty() ? !QFile::exists(m_dir.filePath("config/kioslaverc")) ||
                                    QFile::remove(m_dir.filePath("config/kioslaverc"))
                              : writeFile("config/kioslaverc", expand(kde)));
        for (const QString &line : gnome)
            QCOMPARE(QProcess::execute("gsettings", QStringList{"set"} +
                                                       expand(line).split(u' ').mid(0, 2) +
                                                       QStringList{expand(line).section(u' ', 2)}),
                     0);
        if (!gnome.isEmpty()) {
            m_portal.start(kPortal, {"-r"});
            QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                "org.freedesktop.portal.Desktop"));
        }
        const auto unset = qScopeGuard([] { qunsetenv("http_proxy"); });
        if (!env.isEmpty())
            qputenv("http_proxy", expand(env).toUtf8());

        QTemporaryFile file;
        QVERIFY(file.open());
        download::TransferSetup setup;
        setup.url = m_server.url("/quillmarsh.dmg");
        setup.fd = file.handle();
        setup.timeoutMs = 20000;
        const download::TransferResult r = download::runTransfer(setup);
        QCOMPARE(download::classifyTransportFailure(r.code, r.sslVerifyResult, r.proxyStatus,
                                                    !r.proxy.isEmpty()),
                 failure);
        // Only the proxy is let through by the server; directly, it refuses.
        const bool direct = route.startsWith("directly");
        QCOMPARE(r.httpStatus, failure != TransportFailure::None ? 0L : direct ? 403L : 200L);
        QVERIFY(file.seek(0));
        QCOMPARE(file.readAll(), failure == TransportFailure::None && !direct ? kImage : QByteArray());
        if (failure == TransportFailure::ProxyAuthRequired) // the log takes it from here, naming the proxy
            QCOMPARE(r.message, expand("proxy http://127.0.0.1:%A asks for a password (HTTP 407)"));
        const QString log = logText();
        QVERIFY2(log.contains(expand("  DL: 127.0.0.1:%S reached " + route)), qPrintable(log));
        QVERIFY(!log.contains(kPassword));
        if (analytics) {
            ITSetAnalyticsConfig({m_server.url({}), "G-TEST000001", "s", 5000});
            ITTrackEvent("through_proxy");
            // Both posts, the event and its validation, only the proxy lets through.
            QTRY_COMPARE(logText().count(QRegularExpression("GA: through_proxy .*-> HTTP 200")), 2);
        }
    }

private:
    bool writeFile(const QString &name, const QString &text)
    {
        QFile f(m_dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
    }
};

QM_TEST_GUILESS_MAIN(TestProxy)
#include "tst_proxy.moc"
