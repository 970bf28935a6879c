#include "testsupport.h"

#include "diag/itlog.h"
#include "tools/signing.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
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
