#include "testsupport.h"

#include "diag/itlog.h"
#include "tools/signing.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <sched.h>
#include <sys/mount.h>

// A started process (nginx, a shell, Start Now's detached child), whose child shares the
// parent's memory until it execs, makes ThreadSanitizer take the parent for a forked child and
// refuse its next new thread. No code of ours runs forked, so that check is off in every test
// that starts one. Unused in other builds.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}

namespace testsupport {

const QString kTestLib = QStringLiteral(QM_SOURCE_DIR "/tests/support/testlib.sh");

void prepareTestProcess()
{
    qputenv("QTEST_DISABLE_STACK_DUMP", "1");
    qputenv("QTEST_DISABLE_CORE_DUMP", "1");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    for (const char *name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        qunsetenv(name);
    static QTemporaryDir home(QDir::tempPath() + "/qm-test-home-XXXXXX");
    // Open to others, as a build tree is: some tests run helpers as users of their own.
    QFile::setPermissions(home.path(), QFile::Permissions(0x7755));
    QDir(home.path()).mkdir("runtime");
    QFile::setPermissions(home.filePath("runtime"), QFile::Permissions(0x7700));
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.filePath("state")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(home.filePath("runtime")));
}

QString shell(const QString &script, const QStringList &args, int *status)
{
    QProcess p;
    p.start("/bin/sh", QStringList{"-c", script, "sh"} + args);
    const bool ended = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    if (!ended)
        p.kill(), p.waitForFinished();
    if (status)
        *status = ended ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly) &&
           f.write(bytes) == bytes.size() && f.flush();
}

QByteArray readFile(const QString &path, qint64 from)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.seek(from) ? f.readAll() : QByteArray();
}

QString readText(const QString &path, qint64 from)
{
    return QString::fromUtf8(readFile(path, from));
}

QByteArray sha256Of(const QString &path)
{
    QFile f(path);
    QCryptographicHash h(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && h.addData(&f) ? h.result().toHex() : QByteArray();
}

QString entries(const QString &dir)
{
    const auto all = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    return QDir(dir).entryList(all, QDir::Name).join(u' ');
}

QString describeTree(const QString &root)
{
    return shell("cd \"$1\" 2>/dev/null || { echo absent; exit; }; { find . -printf '%p %y %m %n "
                 "%l\\n'; find . ! -type l -exec stat -c '%n %Y' {} +; find . -type f -exec "
                 "sha256sum {} +; } 2>&1 | LC_ALL=C sort",
                 {root});
}

QString logText(qint64 from)
{
    ITLogDrain(2000);
    return readText(ITLogFilePath(), from);
}

qint64 logSize()
{
    ITLogDrain(2000);
    return QFileInfo(ITLogFilePath()).size();
}

QByteArray makeEd25519Key(const QString &pem)
{
    return shell(". \"$1\" && qm_signing_key \"$2\"", {kTestLib, pem}).toLatin1();
}

QByteArray signImages(const QString &pem, const QList<std::pair<QString, qint64>> &images,
                      QByteArrayList *sigs, const QDateTime &expires)
{
    const QByteArray key = makeEd25519Key(pem);
    QString error;
    for (const auto &[image, version] : images) {
        const auto text = signImageFile(pem, image, version, expires, &error);
        if (key.isEmpty() || !text || !writeFile(image + ".sig", *text)) {
            qWarning().noquote() << "cannot sign" << image << error;
            return {};
        }
        if (sigs)
            *sigs << *text;
    }
    return key;
}

constexpr char kStore[] = "/etc/ssl/certs/ca-certificates.crt";

// The CAs and certificates, one server per name on a port of its own (each printed as "name
// port"), then nginx itself in the shell's place.
constexpr char kRun[] = R"(set -e; PATH=/usr/sbin:$PATH; . "$1"; cd "$2"; relay=$3; mkdir -p www
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
qm_nginx_conf "$PWD" "$http"; exec nginx -p "$PWD" -c "$PWD/nginx.conf")";

bool TlsNginx::installed()
{
    return !QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/bin"}).isEmpty();
}

bool TlsNginx::start()
{
    if (m_nginx.state() == QProcess::Running)
        return true;
    const QString r = m_dir.path(), relay = m_relayPort ? QString::number(m_relayPort) : "";
    if (installed())
        m_nginx.start("/bin/sh", {"-c", kRun, "sh", kTestLib, r, relay});
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

bool privateMounts()
{
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace testsupport
