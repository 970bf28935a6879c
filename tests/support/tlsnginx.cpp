#include "tlsnginx.h"

#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sys/mount.h>

// Starting nginx (or any helper process, or Start Now's QProcess::startDetached, whose child
// shares the parent's memory until it execs) makes ThreadSanitizer take the parent for a forked
// child and refuse its next new thread; the test servers start one per connection. No code of
// ours runs forked, so that check is off in every test that links this. Unused in other builds.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}

namespace testsupport {

namespace {

constexpr char kStore[] = "/etc/ssl/certs/ca-certificates.crt";

// Certificates of the test's own CA for localhost ("good"), another host ("wrong"), a past
// validity ("expired"), and for localhost from a CA nobody trusts ("untrusted").
constexpr char kMakeCertificates[] = R"(set -e; . "$1"; d=$2; cd "$d"
qm_ca . ca; qm_ca . rogue; here=DNS:localhost,IP:127.0.0.1
qm_cert . good ca localhost $here; qm_cert . wrong ca wrong.example DNS:wrong.example
qm_cert . untrusted rogue localhost $here
qm_cert . expired ca localhost $here 20200101000000Z 20200102000000Z
shift 2; qm_nginx_conf "$d" "$@")";

QString nginxProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/bin"});
}

} // namespace

TlsNginx::~TlsNginx()
{
    m_nginx.terminate();
    m_nginx.waitForFinished(5000);
}

bool TlsNginx::installed()
{
    return !nginxProgram().isEmpty();
}

bool TlsNginx::start()
{
    if (m_nginx.state() == QProcess::Running)
        return true;
    const QString r = m_dir.path();
    if (!installed() || !QDir(r).mkpath("www"))
        return false;
    m_plainPort = freeLoopbackPort();
    QString servers =
        QStringLiteral("server { listen 127.0.0.1:%1; root %2/www; }\n").arg(m_plainPort).arg(r);
    QStringList names{"good", "wrong", "expired", "untrusted"};
    if (m_relayPort)
        names << "relay";
    for (const QString &name : names) {
        const quint16 port = freeLoopbackPort();
        m_tlsPorts[name] = port;
        const QString body =
            name == "relay"
                ? QStringLiteral("location / { proxy_pass http://127.0.0.1:%1; }").arg(m_relayPort)
                : QStringLiteral("root %1/www;").arg(r);
        servers += QStringLiteral("server { listen 127.0.0.1:%1 ssl http2; %2 "
                                  "ssl_certificate %3/%4.pem; ssl_certificate_key %3/%4.key; }\n")
                       .arg(port)
                       .arg(body, r, name == "relay" ? QStringLiteral("good") : name);
    }
    if (shellStatus(kMakeCertificates, {kTestLib, r, servers}) != 0)
        return false;
    m_nginx.setProcessChannelMode(QProcess::MergedChannels);
    m_nginx.start(nginxProgram(), {"-p", r, "-c", r + "/nginx.conf"});
    if (!m_nginx.waitForStarted(5000))
        return false;
    // The pid file is written once the listening sockets are open.
    const QDeadlineTimer deadline(10000);
    while (!QFile::exists(r + "/nginx.pid") && !deadline.hasExpired())
        if (m_nginx.waitForFinished(20))
            return false;
    return m_nginx.state() == QProcess::Running && QFile::exists(r + "/nginx.pid");
}

TestTrustStore::TestTrustStore(const QString &caFile)
{
    if (!privateMounts())
        return;
    m_active =
        ::mount(QFile::encodeName(caFile).constData(), kStore, nullptr, MS_BIND, nullptr) == 0;
}

TestTrustStore::~TestTrustStore()
{
    if (m_active)
        ::umount2(kStore, MNT_DETACH);
}

} // namespace testsupport
