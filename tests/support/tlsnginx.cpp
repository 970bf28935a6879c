#include "tlsnginx.h"

#include "testsupport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>

#include <sys/mount.h>

namespace testsupport {

namespace {

constexpr char kStore[] = "/etc/ssl/certs/ca-certificates.crt";

// The CAs and certificates, one server per name on a port of its own (each printed as "name
// port"), then nginx itself in the shell's place.
constexpr char kRun[] = R"(set -e; . "$1"; cd "$2"; relay=$3; mkdir -p www
qm_ca . ca; qm_ca . rogue; here=DNS:localhost,IP:127.0.0.1
qm_cert . good ca localhost $here; qm_cert . wrong ca wrong.example DNS:wrong.example
qm_cert . untrusted rogue localhost $here
qm_cert . expired ca localhost $here 20200101000000Z 20200102000000Z
cp good.pem relay.pem; cp good.key relay.key
p=$(qm_free_port); echo plain $p; http="server { listen 127.0.0.1:$p; root $PWD/www; }"
for n in good wrong expired untrusted ${relay:+relay}; do
    p=$(qm_free_port); echo $n $p; body="root $PWD/www;"
    [ $n != relay ] || body="location / { proxy_pass http://127.0.0.1:$relay; }"
    http="$http server { listen 127.0.0.1:$p ssl http2; $body ssl_certificate $PWD/$n.pem;
        ssl_certificate_key $PWD/$n.key; }"
done
qm_nginx_conf "$PWD" "$http"; exec "$4" -p "$PWD" -c "$PWD/nginx.conf")";

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
    const QString r = m_dir.path(), relay = m_relayPort ? QString::number(m_relayPort) : "";
    if (installed())
        m_nginx.start("/bin/sh", {"-c", kRun, "sh", kTestLib, r, relay, nginxProgram()});
    // The pid file is written once the listening sockets are open.
    const QDeadlineTimer deadline(20000);
    while (m_nginx.waitForStarted(5000) && !QFile::exists(r + "/nginx.pid") &&
           !deadline.hasExpired())
        if (m_nginx.waitForFinished(20))
            return false;
    for (const QString &line : QString::fromUtf8(m_nginx.readAllStandardOutput()).split('\n'))
        m_ports[line.section(' ', 0, 0)] = line.section(' ', 1).toUShort();
    return m_nginx.state() == QProcess::Running && QFile::exists(r + "/nginx.pid");
}

TestTrustStore::TestTrustStore(const QString &caFile)
{
    m_active = privateMounts() && ::mount(QFile::encodeName(caFile).constData(), kStore, nullptr,
                                          MS_BIND, nullptr) == 0;
}

TestTrustStore::~TestTrustStore()
{
    if (m_active)
        ::umount2(kStore, MNT_DETACH);
}

} // namespace testsupport
