#pragma once

// What the tests share: shell snippets, files and trees, the setup log, digests, keys, mount
// namespaces, nginx with TLS. The shell scripts' counterpart, testlib.sh, is beside this file.
#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testsupport {

// Every test program starts alike, alone or under CTest (testprocess.cpp calls this before main),
// headless, in a fresh home of its own with its cache, state and runtime folders, off the session
// bus; a crash ends it at once, without a debugger's stack dump.
void prepareTestProcess();

// What /bin/sh -c script prints on standard output, $1, $2, ... set to args; its exit status
// in *status (-1: it did not run, was killed, or ran over a minute).
QString shell(const QString &script, const QStringList &args = {}, int *status = nullptr);

bool writeFile(const QString &path, const QByteArray &bytes); // its folders made first
QByteArray readFile(const QString &path, qint64 from = 0);    // empty when unreadable
QString readText(const QString &path, qint64 from = 0);
QByteArray sha256Of(const QString &path); // hex; empty when unreadable
// The folder's names, hidden ones too, sorted, separated by spaces.
QString entries(const QString &dir);
// A sorted line per entry below root: path, kind, mode, link count and target, whole-second
// modification time, SHA-256; "absent" when there is no such folder.
QString describeTree(const QString &root);

// This process's setup log from byte from on, what is queued for it written first; logSize()
// is where what follows starts.
QString logText(qint64 from = 0);
qint64 logSize();

// A new Ed25519 key in pem, made with the openssl tool as a release's is; the base64 of its raw
// public key, empty when the tool failed.
QByteArray makeEd25519Key(const QString &pem);
// Images signed as a release's are: each as the version given, expiring at expires when valid,
// with the key in pem (made first when missing), its .sig written beside it. The key's public
// half, as makeEd25519Key gives it, empty when any of it failed; the .sig texts in sigs.
QByteArray signImages(const QString &pem, const QList<std::pair<QString, qint64>> &images,
                      QByteArrayList *sigs = nullptr, const QDateTime &expires = {});

// nginx serving www/ under its folder over plain HTTP and over TLS with HTTP/2, with
// certificates from a CA of the test's own, one server per certificate: "good" for localhost,
// "wrong" for another host, "expired" (in 2020) and "untrusted" (from a CA nobody trusts).
// Given a relay port, "relay" (good certificate) passes every request on to that plain server,
// so a test's own server sees what arrived over TLS.
class TlsNginx
{
public:
    explicit TlsNginx(quint16 relayPort = 0) : m_relayPort(relayPort) {}
    ~TlsNginx()
    {
        m_nginx.terminate();
        m_nginx.waitForFinished(5000);
    }

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

// The calling thread in a mount namespace of its own, nothing propagated back (CAP_SYS_ADMIN).
bool privateMounts();
quint16 freeLoopbackPort();

} // namespace testsupport
