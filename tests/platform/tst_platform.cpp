// The CA store, the private folder of a run and what is read from it, one run per
// user. The private folder and the single-instance rule are decided by a helper process started
// as an ordinary user, where root would hide permission faults.
#include "platform/castore.h"
#include "platform/ownfile.h"
#include "testsupport.h"

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

using testsupport::shell;

namespace {

constexpr uid_t kNobody = 65534;
const QString kFreshPrefix = QStringLiteral(".quillmarsh-installer-");
// Makes the working folder $U's, with home/.cache, elsewhere (0700) and content/keep.txt; $Q is
// the usual private folder, $S a fresh one of a crashed run.
const QString kSetUp =
    "U=$2 Q=home/.cache/quillmarsh-installer S=home/.cache/.quillmarsh-installer-a1B2c3 && "
    "mkdir -p home/.cache elsewhere content && touch content/keep.txt && "
    "chmod 700 elsewhere && chown $U . home home/.cache elsewhere && ";

// Starts the helper as uid with env's "NAME=value" settings, without the test's cache and runtime.
bool startHelper(QProcess &p, uid_t uid, const QString &env, const QStringList &args = {})
{
    // In /tmp, which any user can reach wherever the build tree lives.
    static QTemporaryDir dir;
    static const bool copied = ::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0 &&
                               QFile::copy(PLATFORM_HELPER, dir.filePath("helper"));
    const QString id = QString::number(uid);
    p.start("setpriv", QStringList{"--reuid=" + id, "--regid=" + id, "--clear-groups", "env", "-u",
                                   "XDG_CACHE_HOME", "-u", "XDG_RUNTIME_DIR"} +
                               env.split(' ', Qt::SkipEmptyParts)
                           << dir.filePath("helper") << args);
    return copied;
}

// Its output lines once it ended, or nothing when it failed.
QStringList helperOutput(QProcess &p)
{
    const bool ok = p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit;
    return ok && !p.exitCode() ? QString::fromUtf8(p.readAll()).split(u'\n') : QStringList();
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void caStore_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("present"); // the paths that exist ("/x/" ones are folders)
        QTest::addColumn<QStringList>("env");     // SSL_CERT_FILE, SSL_CERT_DIR
        QTest::addColumn<QStringList>("store");   // file, folder
        const QString debian = "/etc/ssl/certs/ca-certificates.crt", fedora = "/etc/pki/tls/certs/ca-bundle.crt", alpine = "/etc/ssl/cert.pem";
        const QStringList unset{"", ""};
        QTest::newRow("debian, arch") << QStringList{debian, alpine} << unset << QStringList{debian, ""};
        QTest::newRow("none") << QStringList{} << unset << unset;
        QTest::newRow("env file") << QStringList{debian, "/my.pem"} << QStringList{"/my.pem", ""} << QStringList{"/my.pem", ""};
        QTest::newRow("env file missing") << QStringList{fedora} << QStringList{"/my.pem", ""} << QStringList{fedora, ""};
        QTest::newRow("env dir, bundle too") << QStringList{fedora, "/c/"} << QStringList{"", "/c/"} << QStringList{fedora, "/c/"};
        QTest::newRow("env dir is a file, alpine") << QStringList{alpine, "/c"} << QStringList{"", "/c"} << QStringList{alpine, ""};
        // clang-format on
    }
    void caStore()
    {
        QFETCH(QStringList, present);
        QFETCH(QStringList, env);
        QFETCH(QStringList, store);
        const platform::CaStore found = platform::findCaStore(
            [&](const char *name) { return env[qstrcmp(name, "SSL_CERT_FILE") ? 1 : 0].toUtf8(); },
            [&](const QByteArray &path) { return present.contains(path) && !path.endsWith('/'); },
            [&](const QByteArray &path) { return present.contains(path) && path.endsWith('/'); });
        QCOMPARE(QStringList({found.file, found.dir}), store);
    }

    // One run's private folder, decided as the row's user. Crashed runs' fresh folders go at the
    // next start, only those still exactly as made and never through a mount; their FUSE image is
    // detached first, lazily while a file on it is open.
    void privateFolder_data()
    {
        // clang-format off
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<QString>("setup"); // in the test folder: $U the user, $Q the usual folder, $S a crashed run's
        QTest::addColumn<QString>("held");  // a live run holds the lock of this folder
        QTest::addColumn<QString>("env");   // for the run, with $B the test folder
        QTest::addColumn<QString>("expected"); // pattern below the test folder; empty: none
        QTest::addColumn<QStringList>("left"); // crashed runs' folders afterwards, each with what it holds
        const QString freshName = QRegularExpression::escape(kFreshPrefix) + "[A-Za-z0-9]{6}";
        const QString usual = "home/\\.cache/quillmarsh-installer", fresh = "home/\\.cache/" + freshName;
        const QString own = "mkdir -m 700 $Q && chown $U $Q", readOnly = " && { mount --bind home home && mount -o remount,bind,ro home || exit 77; }";
        const QString crash = "mkdir -p $S/mnt && touch $S/quillmarsh_setup.dmg && chown -R $U $S && chmod 700 $S $S/mnt";
        const QString crashed = kFreshPrefix + "a1B2c3", stale = "home/.cache/" + crashed;
        const QStringList none, untouched{crashed, "mnt", "quillmarsh_setup.dmg"};
        // A second run of the user's, while the first uses the usual folder.
        QTest::newRow("in use") << kNobody << own << "home/.cache/quillmarsh-installer" << "" << fresh << none;
        QTest::newRow("0755") << kNobody << own + " && chmod 755 $Q" << "" << "" << fresh << none;
        // Root may write anywhere: only the owner tells it the folder is not its own.
        QTest::newRow("root, another user's") << uid_t(0) << "mkdir -m 700 $Q && chown 65534 $Q" << "" << "" << fresh << none;
        QTest::newRow("link") << kNobody << "ln -s ../../elsewhere $Q" << "" << "" << fresh << none;
        QTest::newRow("cache unwritable") << kNobody << "chown 0 home/.cache" << "" << "" << "home/" + freshName << none;
        QTest::newRow("nothing writable") << kNobody << "chown 0 home/.cache home" << "" << "" << "" << none;
        QTest::newRow("root, read-only") << uid_t(0) << own + readOnly << "" << "" << "" << none;
        // Nothing below a folder others may write (not sticky) is used, even through a link; a
        // fresh folder goes into the runtime folder instead.
        const QString shared = "mkdir -m 775 shared && mkdir -m 700 run shared/home && chown $U run shared/home";
        QTest::newRow("home in a group-writable folder") << kNobody << shared << "" << "HOME=$B/shared/home XDG_RUNTIME_DIR=$B/run" << "run/" + freshName << none;
        QTest::newRow("home in another user's folder") << kNobody << shared + " && chmod 755 shared && chown 12345 shared" << "" << "HOME=$B/shared/home XDG_RUNTIME_DIR=$B/run" << "run/" + freshName << none;
        QTest::newRow("home in a group-writable folder, linked") << kNobody << shared + " && ln -s shared/home h" << "" << "HOME=$B/h" << "" << none;
        QTest::newRow("home in a sticky shared folder") << kNobody << "chmod 1777 ." << "" << "" << usual << none;
        QTest::newRow("xdg") << kNobody << "true" << "" << "XDG_CACHE_HOME=$B/xdg" << "xdg/quillmarsh-installer" << none;
        QTest::newRow("xdg relative") << kNobody << "true" << "" << "XDG_CACHE_HOME=xdg" << usual << none;
        // Root with HOME=/ (a service account) has no home: nothing goes into the root folder.
        QTest::newRow("root folder is no home") << uid_t(0) << "true" << "" << "HOME=/" << "" << none;
        QTest::newRow("crashed run's, mode changed") << kNobody << crash + " && chmod 755 $S" << "" << "" << usual << untouched;
        QTest::newRow("crashed run's, other owner") << uid_t(0) << crash + " && chown 65534 $S" << "" << "" << usual << untouched;
        QTest::newRow("crashed run's, in use") << kNobody << crash << stale << "" << usual << untouched;
        QTest::newRow("crashed run's, a link") << kNobody << "S=away && " + crash + " && ln -s ../../away home/.cache/" + crashed << "" << "" << usual << untouched;
        QTest::newRow("crashed run's, in a group-writable folder") << kNobody << crash + " && chmod 775 ." << "" << "" << "" << untouched;
        QTest::newRow("crashed run's, other name") << kNobody << crash + " && mv $S ${S}d" << "" << "" << usual << QStringList{crashed + "d", "mnt", "quillmarsh_setup.dmg"};
        QTest::newRow("crashed run's image mounted") << uid_t(0) << crash + " && mksquashfs content img -quiet -no-progress && { squashfuse img $S/mnt || exit 77; } && { sleep 5 <$S/mnt/keep.txt >/dev/null 2>&1 & }" << "" << "" << usual << none;
        QTest::newRow("crashed run's, a read-only bundle") << kNobody << crash + " && mkdir -p $S/stage/app/b && chown -R $U $S && chmod 500 $S/stage/app" << "" << "" << usual << none;
        QTest::newRow("crashed run's bind mount") << uid_t(0) << crash + " && { mount --bind content $S/mnt || exit 77; }" << "" << "" << usual << QStringList{crashed, "mnt"};
        // clang-format on
    }
    void privateFolder()
    {
        QFETCH(uid_t, uid);
        QFETCH(QString, setup);
        QFETCH(QString, held);
        QFETCH(QString, env);
        QFETCH(QString, expected);
        QFETCH(QStringList, left);
        QTemporaryDir base;
        const QString home = base.filePath("home"), target = home + "/.cache/quillmarsh-installer";
        const QString stale = home + "/.cache/" + kFreshPrefix + "a1B2c3";
        int fd = -1;
        const bool inRoot = env == "HOME=/" && !QFileInfo::exists("/.cache"); // must stay so
        const auto cleanup = qScopeGuard([&] {
            ::close(fd);
            if (inRoot)
                QDir("/.cache").removeRecursively();
            shell("for p; do ! mountpoint -q \"$p\" || umount -l \"$p\"; done",
                  {stale + "/mnt", home});
        });
        int rc = -1;
        shell("cd \"$1\" && " + kSetUp + setup, {base.path(), QString::number(uid)}, &rc);
        if (rc == 77)
            QSKIP("mounts are not allowed here");
        QCOMPARE(rc, 0);
        if (!held.isEmpty()) {
            fd = ::open(QFile::encodeName(base.filePath(held)).constData(), O_RDONLY | O_DIRECTORY);
            QVERIFY(::flock(fd, LOCK_EX | LOCK_NB) == 0);
        }
        const QFile::Permissions before = QFileInfo(target).permissions();

        QProcess run;
        QVERIFY(startHelper(run, uid, "HOME=" + home + ' ' + env.replace("$B", base.path())));
        const QStringList out = helperOutput(run);
        QVERIFY(out.size() >= 2);
        QCOMPARE(out[1], out[0]); // decided once per run
        const QString dir = QString(out[0]).remove(base.path() + '/');
        QVERIFY2(
            QRegularExpression(QRegularExpression::anchoredPattern(expected)).match(dir).hasMatch(),
            qPrintable(dir));
        // A fresh folder goes at exit; the usual one stays for the flow to empty.
        if (!expected.isEmpty())
            QCOMPARE(out.value(2), out[0].contains(kFreshPrefix) ? "gone" : "kept");
        // Fresh folders left, after the run's own went, each with what it holds.
        QCOMPARE(
            shell(
                R"(cd "$1" && for d in .quillmarsh-installer-*; do [ ! -e "$d" ] || echo $d $(ls -A "$d"); done)",
                {home + "/.cache"}),
            left.isEmpty() ? "" : left.join(' ') + '\n');
        QCOMPARE(shell("! mountpoint -q \"$1\" || echo bound", {stale + "/mnt"}),
                 setup.contains("--bind content") ? "bound\n" : "");
        QVERIFY(QDir(base.filePath("elsewhere")).isEmpty() &&
                QFile::exists(base.filePath("content/keep.txt")));
        if (before) // what was there is left as it was
            QCOMPARE(QFileInfo(target).permissions(), before);
    }

    // A later run asks the first to come to the front and leaves, with or without the runtime
    // folder; another user's socket is not obeyed, nor looked for where others may write.
    void singleInstance_data()
    {
        QTest::addColumn<QString>("first");     // the first run's settings; "root": root's socket
        QTest::addColumn<QString>("cacheMode"); // the cache folder's owner:mode
        QTest::addColumn<QStringList>("out");   // the later run's lines, then the first's
        const QStringList fronted{"another", "alone", "activated"};
        // clang-format off
        QTest::newRow("no runtime folder for either") << "" << "65534:700" << fronted;
        QTest::newRow("runtime folder for the first only") << "XDG_RUNTIME_DIR=/run/user/65534" << "65534:700" << fronted;
        QTest::newRow("another user's socket") << "root" << "65534:700"
            << QStringList{"the socket $C/test.quillmarsh.instance-65534 ignored: it belongs to uid 0, not to uid 65534", "alone"};
        QTest::newRow("group may write the cache") << "root" << "65534:770" << QStringList{"alone"};
        QTest::newRow("cache of another user's") << "root" << "0:755" << QStringList{"alone"};
        // clang-format on
    }
    void singleInstance()
    {
        QFETCH(QString, first);
        QFETCH(QString, cacheMode);
        QFETCH(QStringList, out);
        QTemporaryDir base;
        const QString cache = base.filePath("cache"),
                      env = "TMPDIR=" + base.path() + " XDG_CACHE_HOME=" + cache;
        if (QFileInfo::exists("/run/user/65534"))
            QSKIP("nobody has a runtime folder on this machine already");
        const auto removed = qScopeGuard([] { QDir().rmdir("/run/user/65534"); });
        QCOMPARE(
            shell("cd \"$1\" && chown 65534 . && install -d -o ${2%:*} -m ${2#*:} cache && "
                  "case $3 in */run/user/*) install -d -m 700 -o 65534 ${3#*=};; esac && echo ok",
                  {base.path(), cacheMode, first}),
            "ok\n");
        QLocalServer rootsOwn; // this test runs as root
        rootsOwn.setSocketOptions(QLocalServer::WorldAccessOption);
        QProcess firstRun;
        QVERIFY(first == "root"
                    ? rootsOwn.listen(cache + "/test.quillmarsh.instance-65534")
                    : startHelper(firstRun, kNobody, env + ' ' + first, {"instance", "wait"}) &&
                          firstRun.waitForReadyRead(10000));
        QProcess later;
        QVERIFY(startHelper(later, kNobody, env, {"instance"}));
        QStringList lines = helperOutput(later);
        if (first != "root")
            lines += helperOutput(firstRun);
        lines.removeAll("");
        QCOMPARE(lines.join('\n').replace(cache, "$C"), out.join('\n'));
    }

    // Read only when a regular file of the user's with one name; a FIFO is not waited on.
    void ownFile_data()
    {
        QTest::addColumn<QString>("setup"); // makes f in an empty folder
        QTest::addColumn<bool>("read");
        QTest::newRow("file") << "echo x > f" << true;
        QTest::newRow("FIFO") << "mkfifo f" << false;
        QTest::newRow("link to a file") << "echo x > g && ln -s g f" << false;
        QTest::newRow("second name") << "echo x > g && ln g f" << false;
        QTest::newRow("another user's") << "echo x > f && chown 65534 f" << false;
        QTest::newRow("too large") << "seq 100 > f" << false;
    }
    void ownFile()
    {
        QFETCH(QString, setup);
        QFETCH(bool, read);
        QTemporaryDir dir;
        QCOMPARE(shell("cd \"$1\" && " + setup + " && echo ok", {dir.path()}), "ok\n");
        ::alarm(5); // a read that waits ends the test here
        const auto bytes = platform::readOwnFile(dir.filePath("f"), 2); // "x\n" at the limit
        ::alarm(0);
        QCOMPARE(bytes, read ? std::optional<QByteArray>("x\n") : std::nullopt);
        QCOMPARE(platform::isOwnFile(dir.filePath("f")), read || setup.startsWith("seq"));
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
