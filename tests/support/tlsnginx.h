#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// nginx serving www/ under its folder over plain HTTP and over TLS with HTTP/2, with
// certificates from a CA of the test's own, one server per certificate: "good" for localhost,
// "wrong" for another host, "expired" (in 2020) and "untrusted" (from a CA nobody trusts).
// Given a relay port, "relay" (good certificate) passes every request on to that plain server,
// so a test's own server sees what arrived over TLS.
class TlsNginx
{
public:
    explicit TlsNginx(quint16 relayPort = 0) : m_relayPort(relayPort) {}
    ~TlsNginx();
    TlsNginx(const TlsNginx &) = delete;
    TlsNginx &operator=(const TlsNginx &) = delete;

    static bool installed();
    bool start(); // false when it could not be made to listen; true at once when running
    QString www() const { return m_dir.filePath(QStringLiteral("www")); }
    QString caFile() const { return m_dir.filePath(QStringLiteral("ca.pem")); }
    quint16 plainPort() const { return m_ports.value(QStringLiteral("plain")); }
    quint16 tlsPort(const QString &name) const { return m_ports.value(name); }

private:
    quint16 m_relayPort;
    QTemporaryDir m_dir;
    QProcess m_nginx;
    QMap<QString, quint16> m_ports; // by server
};

// The test's CA in place of the system's trust store, bind-mounted over it in a private mount
// namespace of the calling thread (never the machine's real store). Threads and processes that
// thread starts from then on see it; those started before do not.
class TestTrustStore
{
public:
    explicit TestTrustStore(const QString &caFile);
    ~TestTrustStore();
    TestTrustStore(const TestTrustStore &) = delete;
    TestTrustStore &operator=(const TestTrustStore &) = delete;

    bool active() const { return m_active; } // false: no private namespace here (no CAP_SYS_ADMIN)

private:
    bool m_active = false;
};

} // namespace testsupport
