// The CPU rule, the private folder of a run, and clean-ups that never delete through a mount
// (FUSE ones in the usual folder: tst_flow). The private folder is decided by a helper process
// started as an ordinary user, where root would hide permission faults.
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
const QString kFresh = QStringLiteral("\\.quillmarsh-installer-[A-Za-z0-9]{6}"); // a pattern

// Runs a tool quietly; its exit code, or -1 when it could not run.
int run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return p.exitCode();
}

bool makeDir(const QString &path, uid_t owner, mode_t mode)
{
    const QByteArray native = QFile::encodeName(path);
    return QDir().mkpath(path) && ::chown(native.constData(), owner, owner) == 0 &&
           ::chmod(native.constData(), mode) == 0;
}

// Runs the helper as uid with HOME=home, XDG_CACHE_HOME=xdgCache (unset when empty) and no
// runtime folder; returns its output lines, or nothing when it failed.
QStringList runHelper(uid_t uid, const QString &home, const QString &xdgCache,
                      const QStringList &args = {})
{
    QProcessEnvironment env;
    const QProcessEnvironment own = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"PATH", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (own.contains(name))
            env.insert(name, own.value(name));
    }
    env.insert("HOME", home);
    if (!xdgCache.isEmpty())
        env.insert("XDG_CACHE_HOME", xdgCache);
    // A copy in /tmp, which any user can reach wherever the build tree lives.
    static const QString helper = [] {
        static QTemporaryDir dir;
        const QString copy = dir.filePath("platform_helper");
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        QFile::copy(QStringLiteral(PLATFORM_HELPER), copy);
        return copy;
    }();
    QProcess p;
    p.setProcessEnvironment(env);
    const QString id = QString::number(uid);
    p.start("setpriv",
            QStringList{"--reuid=" + id, "--regid=" + id, "--clear-groups", helper} + args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput()).split(u'\n');
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
    void arm64Rule_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("arm64");
        QTest::newRow("aarch64") << "aarch64" << true;
        QTest::newRow("x86_64") << "x86_64" << false;
        QTest::newRow("armv7l") << "armv7l" << false;
    }
    void arm64Rule()
    {
        QFETCH(QString, machine);
        QFETCH(bool, arm64);
        QCOMPARE(platform::isArm64Machine(machine), arm64);
    }

    // present: the paths that exist ("/x/" ones are folders); env: SSL_CERT_FILE, SSL_CERT_DIR.
    void caStore_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("dir");
        const QString debian = "/etc/ssl/certs/ca-certificates.crt";
        const QString fedora = "/etc/pki/tls/certs/ca-bundle.crt";
        const QString fedoraTrust = "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem";
        const QString suse = "/etc/ssl/ca-bundle.pem";
        const QString alpine = "/etc/ssl/cert.pem";
        QTest::newRow("debian, arch")
            << QStringList{debian, alpine} << QStringList{"", ""} << debian << "";
        QTest::newRow("fedora") << QStringList{fedora, fedoraTrust} << QStringList{"", ""} << fedora
                                << "";
        QTest::newRow("rhel trust")
            << QStringList{fedoraTrust} << QStringList{"", ""} << fedoraTrust << "";
        QTest::newRow("opensuse") << QStringList{suse, alpine} << QStringList{"", ""} << suse << "";
        QTest::newRow("alpine") << QStringList{alpine} << QStringList{"", ""} << alpine << "";
        QTest::newRow("none") << QStringList{} << QStringList{"", ""} << "" << "";
        QTest::newRow("env file") << QStringList{debian, "/my.pem"} << QStringList{"/my.pem", ""}
                                  << "/my.pem" << "";
        QTest::newRow("env file missing")
            << QStringList{fedora} << QStringList{"/my.pem", ""} << fedora << "";
        QTest::newRow("env dir, bundle too")
            << QStringList{fedora, "/c/"} << QStringList{"", "/c/"} << fedora << "/c/";
        QTest::newRow("env dir is a file")
            << QStringList{alpine, "/c"} << QStringList{"", "/c"} << alpine << "";
        // clang-format on
    }
    void caStore()
    {
        QFETCH(QStringList, present);
        QFETCH(QStringList, env);
        QFETCH(QString, file);
        QFETCH(QString, dir);
        const auto has = [&](const QByteArray &path, bool folder) {
            return present.contains(QString::fromUtf8(path)) && path.endsWith('/') == folder;
        };
        const platform::CaStore store = platform::findCaStore(
            [&](const char *name) {
                return env[qstrcmp(name, "SSL_CERT_FILE") == 0 ? 0 : 1].toUtf8();
            },
            [&](const QByteArray &path) { return has(path, false); },
            [&](const QByteArray &path) { return has(path, true); });
        QCOMPARE(QString::fromUtf8(store.file), file);
        QCOMPARE(QString::fromUtf8(store.dir), dir);
    }

    void privateFolder_data()
    {
        // clang-format off
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<QString>("usual"); // what stands at ~/.cache/quillmarsh-installer
        QTest::addColumn<bool>("cacheOwn"); // ~/.cache belongs to the user, else to root
        QTest::addColumn<bool>("homeOwn");  // ~ belongs to the user, else to root
        QTest::addColumn<bool>("readOnly"); // ~ is a read-only mount
        QTest::addColumn<QString>("xdgCache");
        QTest::addColumn<QString>("expected"); // pattern below the test folder; empty: none
        const QString usual = "home/\\.cache/quillmarsh-installer",
                      fresh = "home/\\.cache/" + kFresh;
        QTest::newRow("made") << kNobody << "" << true << true << false << "" << usual;
        QTest::newRow("kept") << kNobody << "dir 700" << true << true << false << "" << usual;
        QTest::newRow("0755") << kNobody << "dir 755" << true << true << false << "" << fresh;
        QTest::newRow("another user's")
            << kNobody << "other's" << true << true << false << "" << fresh;
        // Root may write anywhere: only the owner tells it the folder is not its own.
        QTest::newRow("root, another user's")
            << uid_t(0) << "other's" << true << true << false << "" << fresh;
        QTest::newRow("link") << kNobody << "link" << true << true << false << "" << fresh;
        QTest::newRow("file") << kNobody << "file" << true << true << false << "" << fresh;
        QTest::newRow("cache unwritable") << kNobody << "" << false << true << false << ""
                                          << "home/" + kFresh;
        QTest::newRow("nothing writable") << kNobody << "" << false << false << false << "" << "";
        QTest::newRow("read-only") << kNobody << "dir 700" << true << true << true << "" << "";
        QTest::newRow("root, read-only") << uid_t(0) << "dir 700" << true << true << true << ""
                                         << "";
        QTest::newRow("xdg") << kNobody << "" << true << true << false << "/xdg"
                             << "xdg/quillmarsh-installer";
        QTest::newRow("xdg relative") << kNobody << "" << true << true << false << "xdg" << usual;
        // clang-format on
    }

    void privateFolder()
    {
        QFETCH(uid_t, uid);
        QFETCH(QString, usual);
        QFETCH(bool, cacheOwn);
        QFETCH(bool, homeOwn);
        QFETCH(bool, readOnly);
        QFETCH(QString, xdgCache);
        QFETCH(QString, expected);
        QTemporaryDir base;
        const QString home = base.filePath("home"),
                      target = base.filePath("home/.cache/quillmarsh-installer");
        QVERIFY(makeDir(base.path(), uid, 0755) && makeDir(base.filePath("elsewhere"), uid, 0700));
        QVERIFY(makeDir(home + "/.cache", cacheOwn ? uid : 0, 0755));
        QVERIFY(makeDir(home, homeOwn ? uid : 0, 0755));
        if (usual.startsWith("dir") || usual == "other's")
            QVERIFY(makeDir(target, usual == "other's" ? (uid == 0 ? kNobody : 0) : uid,
                            usual.endsWith("755") ? 0755 : 0700));
        else if (usual == "link")
            QVERIFY(QFile::link(base.filePath("elsewhere"), target));
        else if (usual == "file")
            QVERIFY(QFile(target).open(QIODevice::WriteOnly));
        auto unmount = qScopeGuard([&] {
            if (readOnly)
                run("umount", {"-l", home});
        });
        if (readOnly && (run("mount", {"--bind", home, home}) != 0 ||
                         run("mount", {"-o", "remount,bind,ro", home}) != 0))
            QSKIP("read-only bind mounts are not allowed here");

        const QString xdg = xdgCache.startsWith('/') ? base.path() + xdgCache : xdgCache;
        const QStringList out = runHelper(uid, home, xdg, {"release"});
        QVERIFY(out.size() >= 2);
        QCOMPARE(out[1], out[0]); // decided once per run
        const QString dir = out[0];
        if (expected.isEmpty()) {
            QCOMPARE(dir, QString());
        } else {
            QVERIFY2(
                QRegularExpression(QRegularExpression::anchoredPattern(
                                       QRegularExpression::escape(base.path() + '/') + expected))
                    .match(dir)
                    .hasMatch(),
                qPrintable(dir));
            // A fresh folder goes at exit; the usual one stays for the flow to empty.
            QCOMPARE(out.value(2), dir.contains(kFreshPrefix) ? "gone" : "kept");
        }
        QCOMPARE(
            QDir(base.filePath("elsewhere")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
            QStringList());
        QVERIFY(!QFile::exists("/quillmarsh_setup.dmg"));
        struct stat st = {};
        if (QFileInfo(target).isDir() && !QFileInfo(target).isSymLink() &&
            ::lstat(QFile::encodeName(target).constData(), &st) == 0)
            QCOMPARE(st.st_mode & 0777, usual.endsWith("755") ? 0755u : 0700u); // left as it was
    }

    // Root with HOME=/ (a service account) has no home: nothing goes into the root folder.
    void rootFolderIsNoHome()
    {
        const QString usual = "/.cache/quillmarsh-installer";
        const bool existed = QFileInfo::exists("/.cache");
        auto cleanup = qScopeGuard([&] {
            if (!existed)
                QDir("/.cache").removeRecursively();
        });
        const QStringList out = runHelper(0, "/", {}, {"release"});
        QCOMPARE(out.value(0, "failed"), QString());
        QCOMPARE(QFileInfo::exists(usual), false);
        QCOMPARE(QDir("/").entryList({".quillmarsh-installer-*"}, QDir::AllEntries | QDir::Hidden),
                 QStringList());
    }

    // Fresh folders of crashed runs go at the next start: only those still exactly as made.
    void crashedRunFolders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<uid_t>("owner");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("held"); // a live run holds its lock
        QTest::addColumn<bool>("link"); // the name is a link to a folder elsewhere
        QTest::addColumn<bool>("removed");
        const QString name = ".quillmarsh-installer-a1B2c3";
        QTest::newRow("left by a crash") << name << kNobody << 0700 << false << false << true;
        QTest::newRow("mode changed") << name << kNobody << 0755 << false << false << false;
        QTest::newRow("other owner") << name << uid_t(0) << 0700 << false << false << false;
        QTest::newRow("in use") << name << kNobody << 0700 << true << false << false;
        QTest::newRow("link") << name << kNobody << 0700 << false << true << false;
        QTest::newRow("other name")
            << ".quillmarsh-installer-a1B2c3d" << kNobody << 0700 << false << false << false;
    }

    void crashedRunFolders()
    {
        QFETCH(QString, name);
        QFETCH(uid_t, owner);
        QFETCH(int, mode);
        QFETCH(bool, held);
        QFETCH(bool, link);
        QFETCH(bool, removed);
        QTemporaryDir base;
        const QString cache = base.filePath("home/.cache"), stale = cache + '/' + name;
        const QString real = link ? base.filePath("elsewhere") : stale;
        QVERIFY(makeDir(base.path(), kNobody, 0755) && makeDir(cache, kNobody, 0755) &&
                makeDir(base.filePath("home"), kNobody, 0755));
        QVERIFY(makeDir(real + "/mnt", owner, mode_t(mode)) && makeDir(real, owner, mode_t(mode)));
        QVERIFY(QFile(real + "/quillmarsh_setup.dmg").open(QIODevice::WriteOnly));
        if (link)
            QVERIFY(QFile::link(real, stale));
        const int fd = ::open(QFile::encodeName(stale).constData(), O_RDONLY | O_DIRECTORY);
        auto closeFd = qScopeGuard([fd] { ::close(fd); });
        QVERIFY(fd >= 0 && (!held || ::flock(fd, LOCK_EX | LOCK_NB) == 0));

        QVERIFY(!runHelper(kNobody, base.filePath("home"), {}).isEmpty());
        QCOMPARE(!QFileInfo::exists(stale), removed);
        QCOMPARE(QFile::exists(real + "/quillmarsh_setup.dmg"), !removed);
    }

    // A crashed run's fresh folder with a mount in it: a FUSE image of its own is detached and the
    // folder goes; a mount it cannot detach is left alone with everything behind it.
    void crashedRunMounts_data()
    {
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<bool>("fuse"); // a squashfuse image, else a bind mount of a folder
        QTest::addColumn<bool>("removed");
        QTest::newRow("own image") << uid_t(0) << true << true;
        QTest::newRow("bind mount") << kNobody << false << false;
    }

    void crashedRunMounts()
    {
        QFETCH(uid_t, uid);
        QFETCH(bool, fuse);
        QFETCH(bool, removed);
        QTemporaryDir base;
        const QString home = base.filePath("home"),
                      stale = home + "/.cache/" + kFreshPrefix + "Mnt001";
        const QString content = base.filePath("content"), point = stale + "/mnt";
        QVERIFY(makeDir(base.path(), uid, 0755) && makeDir(home + "/.cache", uid, 0755) &&
                makeDir(home, uid, 0755) && makeDir(content, uid, 0755));
        QVERIFY(makeDir(point, uid, 0700) && makeDir(stale, uid, 0700));
        QVERIFY(QFile(content + "/keep.txt").open(QIODevice::WriteOnly));
        QVERIFY(QFile(stale + "/quillmarsh_setup.dmg").open(QIODevice::WriteOnly));
        const QString image = base.filePath("image.sqfs");
        auto unmount = qScopeGuard([&] {
            if (mounted(point))
                run("umount", {"-l", point});
        });
        if (fuse) {
            QCOMPARE(run("mksquashfs", {content, image, "-quiet", "-no-progress"}), 0);
            if (run("squashfuse", {image, point}) != 0)
                QSKIP("FUSE mounts are not allowed here");
        } else if (run("mount", {"--bind", content, point}) != 0) {
            QSKIP("bind mounts are not allowed here");
        }
        QVERIFY(mounted(point));

        QVERIFY(!runHelper(uid, home, {}).isEmpty());
        QCOMPARE(!QFileInfo::exists(stale), removed);
        QCOMPARE(mounted(point), !removed);
        QVERIFY(QFile::exists(content + "/keep.txt"));
        QVERIFY(!QFile::exists(stale + "/quillmarsh_setup.dmg"));
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
        const QStringList out = runHelper(kNobody, base.filePath("home"), cache, {"instance"});
        QVERIFY2(out.value(0).endsWith("ignored: it belongs to uid 0, not to uid 65534") &&
                     out.value(1) == "alone",
                 qPrintable(out.join('\n')));
    }

    // A bind mount is not detached (only FUSE ones are) and keeps the device number.
    void clearFolderNeverDeletesThroughAMount()
    {
        QTemporaryDir tmp;
        const QString outside = tmp.filePath("precious"), point = tmp.filePath("private/bound");
        QVERIFY(QDir().mkpath(outside) && QDir().mkpath(point) &&
                QDir().mkpath(tmp.filePath("private/junk")));
        QFile(outside + "/keep.txt").open(QIODevice::WriteOnly);
        if (QProcess::execute("mount", {"--bind", outside, point}) != 0)
            QSKIP("bind mounts are not allowed here");
        const int removed = platform::clearFolder(tmp.filePath("private"));
        const bool kept = QFile::exists(outside + "/keep.txt");
        const bool treeKept =
            !platform::removeTree(tmp.filePath("private")) && QFile::exists(outside + "/keep.txt");
        QProcess::execute("umount", {point});
        QVERIFY(kept && treeKept);
        QCOMPARE(removed, 1); // the junk folder only
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
