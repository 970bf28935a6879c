#include "tlsnginx.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

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

constexpr char kMakeCertificates[] = R"(set -e; cd "$1"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
ca() { key $1; openssl req -x509 -key $1.key -out $1.pem -subj "/CN=QM $1" -days 3 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign; }
csr() { key $1; openssl req -new -key $1.key -out $1.csr -subj /CN=$2 -addext "subjectAltName=$3"; }
ca ca; ca rogue
here=DNS:localhost,IP:127.0.0.1
csr good localhost $here; csr wrong wrong.example DNS:wrong.example; csr expired localhost $here
csr untrusted localhost $here
sign() { openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 2 \
  -copy_extensions copy -out $1.pem 2>/dev/null; }
sign good ca; sign wrong ca; sign untrusted rogue
printf '[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n[p]\ncommonName=supplied\n' > ca.cnf
: > index.txt; echo 01 > serial
openssl ca -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20200102000000Z -batch -notext 2>/dev/null)";

QString nginxProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("nginx"), {"/usr/sbin", "/usr/bin"});
}

} // namespace

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

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
    if (!installed() || !QDir(r).mkpath("www") || !QDir(r).mkpath("tmp") ||
        QProcess::execute("/bin/sh", {"-c", kMakeCertificates, "sh", r}) != 0)
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
    const QString conf = QString(R"(%1 worker_processes 1; daemon off; pid %2/nginx.pid;
events { worker_connections 64; } error_log %2/error.log;
http { access_log %2/access.log; client_body_temp_path %2/tmp/body; proxy_temp_path %2/tmp/proxy;
  fastcgi_temp_path %2/tmp/fastcgi; uwsgi_temp_path %2/tmp/uwsgi; scgi_temp_path %2/tmp/scgi;
  %3 })")
                             .arg(::geteuid() == 0 ? "user root;" : "", r, servers);
    QFile file(r + "/nginx.conf");
    if (!file.open(QIODevice::WriteOnly) || file.write(conf.toUtf8()) != conf.toUtf8().size())
        return false;
    file.close();
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
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
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
