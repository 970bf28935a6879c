// The CPU rule, the CA store, the private folder of a run, and clean-ups that never delete
// through a mount (FUSE ones in the usual folder: tst_flow). The private folder is decided by a
// helper process started as an ordinary user, where root would hide permission faults.
#include "platform/castore.h"
#include "platform/cpu.h"
#include "platform/leftovers.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;
const QString kFreshPrefix = QStringLiteral(".quillmarsh-installer-");

// Runs a tool quietly; its exit code, or -1 when it could not run.
int run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

bool makeDir(const QString &path, uid_t owner, mode_t mode)
{
    const QByteArray native = QFile::encodeName(path);
    return QDir().mkpath(path) && ::chown(native.constData(), owner, owner) == 0 &&
           ::chmod(native.constData(), mode) == 0;
}

// Runs the helper as uid with the environment's "NAME=value" settings (HOME among them), without
// the test's cache and runtime folders; returns its output lines, or nothing when it failed.
QStringList runHelper(uid_t uid, const QStringList &env, const QStringList &args = {})
{
    // A copy in /tmp, which any user can reach wherever the build tree lives.
    static QTemporaryDir dir;
    static const bool copied = ::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0 &&
                               QFile::copy(PLATFORM_HELPER, dir.filePath("helper"));
    const QString id = QString::number(uid);
    QProcess p;
    p.start("setpriv", QStringList{"--reuid=" + id, "--regid=" + id, "--clear-groups", "env", "-u",
                                   "XDG_CACHE_HOME", "-u", "XDG_RUNTIME_DIR"} +
                           env + QStringList{dir.filePath("helper")} + args);
    const bool ok = copied && p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit &&
                    p.exitCode() == 0;
    return ok ? QString::fromUtf8(p.readAllStandardOutput()).split(u'\n') : QStringList();
}

bool mounted(const QString &under)
{
    QFile info("/proc/self/mountinfo");
    return info.open(QIODevice::ReadOnly) && info.readAll().contains(QFile::encodeName(under));
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void arm64Rule()
    {
        QVERIFY(platform::isArm64Machine("aarch64") && platform::isArm64Machine("arm64"));
        QVERIFY(!platform::isArm64Machine("x86_64") && !platform::isArm64Machine("armv7l"));
    }

    void caStore_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("present"); // the paths that exist ("/x/" ones are folders)
        QTest::addColumn<QStringList>("env");     // SSL_CERT_FILE, SSL_CERT_DIR
        QTest::addColumn<QStringList>("store");   // file, folder
        const QString debian = "/etc/ssl/certs/ca-certificates.crt", fedora = "/etc/pki/tls/certs/ca-bundle.crt";
        const QString fedoraTrust = "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", suse = "/etc/ssl/ca-bundle.pem";
        const QString alpine = "/etc/ssl/cert.pem";
        const QStringList unset{"", ""};
        QTest::newRow("debian, arch") << QStringList{debian, alpine} << unset << QStringList{debian, ""};
        QTest::newRow("fedora") << QStringList{fedora, fedoraTrust} << unset << QStringList{fedora, ""};
        QTest::newRow("rhel trust") << QStringList{fedoraTrust} << unset << QStringList{fedoraTrust, ""};
        QTest::newRow("opensuse") << QStringList{suse, alpine} << unset << QStringList{suse, ""};
        QTest::newRow("alpine") << QStringList{alpine} << unset << QStringList{alpine, ""};
        QTest::newRow("none") << QStringList{} << unset << unset;
        QTest::newRow("env file") << QStringList{debian, "/my.pem"} << QStringList{"/my.pem", ""} << QStringList{"/my.pem", ""};
        QTest::newRow("env file missing") << QStringList{fedora} << QStringList{"/my.pem", ""} << QStringList{fedora, ""};
        QTest::newRow("env dir, bundle too") << QStringList{fedora, "/c/"} << QStringList{"", "/c/"} << QStringList{fedora, "/c/"};
        QTest::newRow("env dir is a file") << QStringList{alpine, "/c"} << QStringList{"", "/c"} << QStringList{alpine, ""};
        // clang-format on
    }
    void caStore()
    {
        QFETCH(QStringList, present);
        QFETCH(QStringList, env);
        QFETCH(QStringList, store);
        const auto has = [&](bool folder) {
            return [&present, folder](const QByteArray &path) {
                return present.contains(QString::fromUtf8(path)) && path.endsWith('/') == folder;
            };
        };
        const platform::CaStore found = platform::findCaStore(
            [&](const char *name) { return env[qstrcmp(name, "SSL_CERT_FILE") ? 1 : 0].toUtf8(); },
            has(false), has(true));
        QCOMPARE(QStringList({found.file, found.dir}), store);
    }

    void privateFolder_data()
    {
        // clang-format off
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<QString>("setup"); // in the test folder, with the user $U and the usual folder $Q
        QTest::addColumn<QString>("env"); // for the run, with $B the test folder
        QTest::addColumn<QString>("expected"); // pattern below the test folder; empty: none
        const QString usual = "home/\\.cache/quillmarsh-installer", freshName = QRegularExpression::escape(kFreshPrefix) + "[A-Za-z0-9]{6}";
        const QString fresh = "home/\\.cache/" + freshName;
        const QString own = "mkdir -m 700 $Q && chown $U $Q", readOnly = " && { mount --bind home home && mount -o remount,bind,ro home || exit 77; }";
        QTest::newRow("made") << kNobody << "true" << "" << usual;
        QTest::newRow("kept") << kNobody << own << "" << usual;
        QTest::newRow("0755") << kNobody << own + " && chmod 755 $Q" << "" << fresh;
        QTest::newRow("another user's") << kNobody << "mkdir -m 700 $Q" << "" << fresh;
        // Root may write anywhere: only the owner tells it the folder is not its own.
        QTest::newRow("root, another user's") << uid_t(0) << "mkdir -m 700 $Q && chown 65534 $Q" << "" << fresh;
        QTest::newRow("link") << kNobody << "ln -s ../../elsewhere $Q" << "" << fresh;
        QTest::newRow("file") << kNobody << "touch $Q" << "" << fresh;
        QTest::newRow("cache unwritable") << kNobody << "chown 0 home/.cache" << "" << "home/" + freshName;
        QTest::newRow("nothing writable") << kNobody << "chown 0 home/.cache home" << "" << "";
        QTest::newRow("read-only") << kNobody << own + readOnly << "" << "";
        QTest::newRow("root, read-only") << uid_t(0) << own + readOnly << "" << "";
        QTest::newRow("xdg") << kNobody << "true" << "XDG_CACHE_HOME=$B/xdg" << "xdg/quillmarsh-installer";
        QTest::newRow("xdg relative") << kNobody << "true" << "XDG_CACHE_HOME=xdg" << usual;
        // Root with HOME=/ (a service account) has no home: nothing goes into the root folder.
        QTest::newRow("root folder is no home") << uid_t(0) << "true" << "HOME=/" << "";
        // clang-format on
    }
    void privateFolder()
    {
        QFETCH(uid_t, uid);
        QFETCH(QString, setup);
        QFETCH(QString, env);
        QFETCH(QString, expected);
        QTemporaryDir base;
        const QString home = base.filePath("home"), target = home + "/.cache/quillmarsh-installer";
        const auto unmount = qScopeGuard([&] {
            if (mounted(home))
                run("umount", {"-l", home});
        });
        const int rc = run("/bin/sh", {"-c",
                                       "cd \"$1\" && U=$2 Q=home/.cache/quillmarsh-installer && "
                                       "mkdir -p home/.cache elsewhere && chmod 700 elsewhere && "
                                       "chown $U . home home/.cache elsewhere && " +
                                           setup,
                                       "sh", base.path(), QString::number(uid)});
        if (rc == 77)
            QSKIP("read-only bind mounts are not allowed here");
        QCOMPARE(rc, 0);
        const QFile::Permissions before = QFileInfo(target).permissions();

        const QStringList out = runHelper(uid,
                                          QString("HOME=%1 %2")
                                              .arg(home, env)
                                              .replace("$B", base.path())
                                              .split(' ', Qt::SkipEmptyParts),
                                          {"release"});
        QVERIFY(out.size() >= 2);
        QCOMPARE(out[1], out[0]); // decided once per run
        const QString pattern = expected.isEmpty()
                                    ? QString()
                                    : QRegularExpression::escape(base.path() + '/') + expected;
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(pattern))
                     .match(out[0])
                     .hasMatch(),
                 qPrintable(out[0]));
        // A fresh folder goes at exit; the usual one stays for the flow to empty.
        if (!expected.isEmpty())
            QCOMPARE(out.value(2), out[0].contains(kFreshPrefix) ? "gone" : "kept");
        QVERIFY(QDir(base.filePath("elsewhere")).isEmpty());
        if (before) // what was there is left as it was
            QCOMPARE(QFileInfo(target).permissions(), before);
    }

    // Fresh folders of crashed runs go at the next start: only those still exactly as made, and
    // never through a mount. A FUSE image of the run's own is detached first; a mount it cannot
    // detach stays, with everything behind it.
    void crashedRunFolders_data()
    {
        // clang-format off
        QTest::addColumn<uid_t>("uid");   // the user who runs and, unless owner says else, made the folder
        QTest::addColumn<uid_t>("owner");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("kind"); // held: a live run holds its lock; link: the name is a
                                           // link to a folder elsewhere; fuse, bind: a mount at mnt
        QTest::addColumn<QStringList>("left"); // what the folder holds afterwards
        const QStringList untouched{"mnt", "quillmarsh_setup.dmg"};
        QTest::newRow("left by a crash") << kNobody << kNobody << 0700 << "" << QStringList{};
        QTest::newRow("mode changed") << kNobody << kNobody << 0755 << "" << untouched;
        QTest::newRow("other owner") << kNobody << uid_t(0) << 0700 << "" << untouched;
        QTest::newRow("in use") << kNobody << kNobody << 0700 << "held" << untouched;
        QTest::newRow("link") << kNobody << kNobody << 0700 << "link" << untouched;
        QTest::newRow("other name") << kNobody << kNobody << 0700 << "other name" << untouched;
        QTest::newRow("own image mounted") << uid_t(0) << uid_t(0) << 0700 << "fuse" << QStringList{};
        QTest::newRow("bind mount") << kNobody << kNobody << 0700 << "bind" << QStringList{"mnt"};
        // clang-format on
    }
    void crashedRunFolders()
    {
        QFETCH(uid_t, uid);
        QFETCH(uid_t, owner);
        QFETCH(int, mode);
        QFETCH(QString, kind);
        QFETCH(QStringList, left);
        QTemporaryDir base;
        const QString home = base.filePath("home"), content = base.filePath("content");
        const QString stale =
            home + "/.cache/" + kFreshPrefix + (kind == "other name" ? "a1B2c3d" : "a1B2c3");
        const QString real = kind == "link" ? base.filePath("elsewhere") : stale,
                      point = real + "/mnt";
        QVERIFY(makeDir(base.path(), uid, 0755) && makeDir(home + "/.cache", uid, 0755) &&
                makeDir(home, uid, 0755) && makeDir(content, uid, 0755));
        QVERIFY(makeDir(point, owner, mode_t(mode)) && makeDir(real, owner, mode_t(mode)));
        QVERIFY(QFile(real + "/quillmarsh_setup.dmg").open(QIODevice::WriteOnly) &&
                QFile(content + "/keep.txt").open(QIODevice::WriteOnly));
        QVERIFY(kind != "link" || QFile::link(real, stale));
        const int fd = ::open(QFile::encodeName(stale).constData(), O_RDONLY | O_DIRECTORY);
        const auto cleanup = qScopeGuard([&] {
            ::close(fd);
            if (mounted(point))
                run("umount", {"-l", point});
        });
        QVERIFY(fd >= 0 && (kind != "held" || ::flock(fd, LOCK_EX | LOCK_NB) == 0));
        const QString image = base.filePath("image.sqfs");
        if (kind == "fuse" && (run("mksquashfs", {content, image, "-quiet", "-no-progress"}) != 0 ||
                               run("squashfuse", {image, point}) != 0))
            QSKIP("FUSE mounts are not allowed here");
        if (kind == "bind" && run("mount", {"--bind", content, point}) != 0)
            QSKIP("bind mounts are not allowed here");

        QVERIFY(!runHelper(uid, {"HOME=" + home}).isEmpty());
        QCOMPARE(QDir(stale).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), left);
        QCOMPARE(QFileInfo::exists(stale), !left.isEmpty());
        QCOMPARE(mounted(point), kind == "bind");
        QVERIFY(QFile::exists(content + "/keep.txt"));
    }

    // Another user's socket where the user's own would be is not another installer: it is not
    // asked to come to the front, and the run goes on as the one instance.
    void otherUsersSocketDoesNotCount()
    {
        QTemporaryDir base;
        const QString cache = base.filePath("cache");
        QVERIFY(makeDir(base.path(), kNobody, 0755) && makeDir(cache, kNobody, 0700));
        QLocalServer rootsOwn; // this test runs as root
        rootsOwn.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(rootsOwn.listen(cache + "/test.quillmarsh.instance-65534"));
        const QStringList out = runHelper(
            kNobody, {"HOME=" + base.filePath("home"), "XDG_CACHE_HOME=" + cache}, {"instance"});
        QVERIFY2(out.value(0).endsWith("ignored: it belongs to uid 0, not to uid 65534") &&
                     out.value(1) == "alone",
                 qPrintable(out.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
