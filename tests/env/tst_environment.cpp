// Whole installations (real download, real image tools, real copies, the real elevation road)
// as an unprivileged desktop user, in what only such a user meets: folders that are the user's
// or root's by their real owners and modes, a /dev/fuse the user may or may not open, tools
// missing from /usr/bin. Each row runs envrun through setpriv in a private mount namespace of its
// own (row.sh), so nothing the row mounts outlives it. The units' own rows (small file systems,
// prompts dismissed, hostile folder names, the private folder's rules) are in their tests.
#include "testhttpserver.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kApp = QStringLiteral("Quillmarsh.app");
const QString kMountFailed = QStringLiteral("Could not mount the disk image.");

int run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

// Kind, mode, link target and content digest of every entry below root, sorted.
QString describeTree(const QString &root)
{
    QProcess p;
    p.start("/bin/sh", {"-c",
                        "cd \"$1\" && { find . -printf '%p %y %m %l\\n'; find . -type f -exec "
                        "sha1sum {} +; } | LC_ALL=C sort",
                        "sh", root});
    return p.waitForFinished(20000) && p.exitCode() == 0
               ? QString::fromUtf8(p.readAllStandardOutput())
               : "unreadable " + root;
}

} // namespace

class TestEnvironment : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server;
    uint m_uid = 0;         // no account, no process: the row's leftover processes are found by it
    QTemporaryDir m_shared; // the rows' folders and the runner, where the user can reach them
    std::unique_ptr<QTemporaryDir> m_row;
    QProcess m_namespace; // holds the row's mounts until its input closes

    QString R() const { return m_row->path(); }
    QString H() const { return m_row->path() + "/home"; }
    // A path as the row's namespace sees it, its mounts included.
    QString inRow(const QString &path) const
    {
        return QStringLiteral("/proc/%1/root%2").arg(m_namespace.processId()).arg(path);
    }
    QString log() const
    {
        return readText(inRow(H() + "/.local/state/Logs/quillmarsh-installer.log"));
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to build the environments (user switch, mounts)");
        if (run("unshare", {"-m", "--propagation", "private", "true"}) != 0)
            QSKIP("no mount namespaces here");
        if (run("setpriv", {"--version"}) != 0)
            QSKIP("setpriv (util-linux) is missing");
        for (m_uid = 48611; m_uid < 48711; ++m_uid)
            if (run("getent", {"passwd", QString::number(m_uid)}) == 2 &&
                run("pgrep", {"-u", QString::number(m_uid)}) == 1)
                break;
        m_server = std::make_unique<TestHttpServer>();
        m_server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        QVERIFY(::chmod(QFile::encodeName(m_shared.path()).constData(), 0755) == 0);
        // A copy the user can run even when the build tree is in a folder only root may enter.
        QVERIFY(QFile::copy(QM_ENVRUN, m_shared.filePath("qm-envrun")));
    }

    void cleanupTestCase() { m_server.reset(); }

    // Closing the namespace's input ends it, and with it every mount the row made.
    void cleanup()
    {
        if (QTest::currentTestFailed() && m_row)
            qWarning().noquote() << "installer's output:\n" +
                                        readText(R() + "/out/stderr").right(3000) +
                                        "\nsetup log:\n" + log();
        m_namespace.closeWriteChannel();
        if (m_namespace.state() != QProcess::NotRunning && !m_namespace.waitForFinished(5000)) {
            m_namespace.kill();
            m_namespace.waitForFinished(5000);
        }
        m_row.reset();
    }

    void matrix_data()
    {
        QTest::addColumn<QString>("setup");   // row.sh commands, as root
        QTest::addColumn<QString>("folder");  // Install's folder
        QTest::addColumn<QString>("message"); // told to the user; empty: installed
        QTest::addColumn<QString>("logLine");
        // clang-format off
        const QString rootApps = "rootapps && oldcopy /mnt/Applications && chown 0:0 /mnt/Applications && ";
        // A FUSE mount made and undone by the user, and folders made on the way.
        QTest::newRow("new folders, FUSE mount") << "" << "$H/new apps/Applications" << ""
            << "INST: mounted at $H/.cache/quillmarsh-installer/mount";
        // The folder root's by its real owner: the fake pkexec, set-user-id, runs the command as root.
        QTest::newRow("administrator copy into root's folder") << rootApps + "fake pkexec root" << "/mnt/Applications" << ""
            << "INST: /mnt/Applications is not writable (Permission denied), copying with privileges";
        QTest::newRow("no pkexec") << rootApps + "hide pkexec" << "/mnt/Applications"
            << "Could not copy the application to the install location." << "INST: no pkexec on this machine";
        // No FUSE for the user; the folder a link to a write-only one of the user's on another
        // file system, with an old copy: the user's own folder, never elevated.
        QTest::newRow("extracted into a link to a 0300 folder elsewhere")
            << "nofuse && tmpfs $R/apps 8m && oldcopy $R/apps && chmod 0300 $R/apps && ln -s $R/apps $H/Applications"
            << "$H/Applications" << "" << "INST: FUSE cannot be used, extracting the image with unsquashfs";
        QTest::newRow("no FUSE, no unsquashfs") << "nofuse && hide unsquashfs" << "$H/Applications" << kMountFailed
            << "INST: FUSE cannot be used and unsquashfs is not installed (Debian package squashfs-tools)";
        QTest::newRow("no image tool") << "hide squashfuse unsquashfs" << "$H/Applications" << kMountFailed
            << "INST: neither squashfuse nor unsquashfs is installed (Debian packages squashfuse and squashfs-tools)";
        // clang-format on
    }

    void matrix()
    {
        QFETCH(QString, setup);
        QFETCH(QString, folder);
        QFETCH(QString, message);
        QFETCH(QString, logLine);
        if (logLine.contains("mounted at") && !QFile::exists("/dev/fuse"))
            QSKIP("no /dev/fuse here");
        m_row = std::make_unique<QTemporaryDir>(m_shared.filePath("row-XXXXXX"));
        QVERIFY(::chmod(QFile::encodeName(R()).constData(), 0755) == 0);
        folder.replace("$H", H());
        m_server->clearRequests();
        const QString u = QString::number(m_uid);
        // clang-format off
        QStringList command{"-m", "--propagation", "private", "/bin/sh", QM_SOURCE_DIR "/tests/env/row.sh",
                            QString(setup).replace("$H", H()).replace("$R", R()),
                            "setpriv", "--reuid=" + u, "--regid=" + u, "--clear-groups", "env", "-i",
                            "HOME=" + H(), "PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                            "QT_QPA_PLATFORM=offscreen", "QM_FAKE_DIR=" + R() + "/fake"};
        // clang-format on
        for (const char *name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(name))
                command << QString(name) + '=' + qEnvironmentVariable(name);
        command << m_shared.filePath("qm-envrun") << m_server->url(QString()) << folder;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("R", R());
        env.insert("U", u);
        env.insert("FAKE", QM_BINARY_DIR "/bin/fakes/pkexec");
        m_namespace.setProcessEnvironment(env);
        m_namespace.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_namespace.start("unshare", command);
        QVERIFY(m_namespace.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(
            QFile::exists(R() + "/out/done") || m_namespace.state() == QProcess::NotRunning, 45000);
        QVERIFY2(QFile::exists(R() + "/out/done"), "the row's set-up failed");

        // Ended cleanly, leaving no mount, no process and nothing in /tmp behind; the image
        // fetched once; the user told the outcome, and the log saying why.
        const QString summary = readText(R() + "/out/summary");
        QCOMPARE(readText(R() + "/out/rc") + summary, "0\n" + summary);
        QCOMPARE(readText(R() + "/out/mounts") + readText(R() + "/out/processes") +
                     readText(R() + "/out/tmp"),
                 QString());
        QCOMPARE(m_server->requestCount(), 1);
        const bool installed = message.isEmpty();
        QCOMPARE(QJsonDocument::fromJson(summary.toUtf8())["message"].toString(), message);
        QCOMPARE(QJsonDocument::fromJson(summary.toUtf8())["outcome"].toString(),
                 installed ? "installed" : "failed");
        QVERIFY2(log().contains(QString(logLine).replace("$H", H())), qPrintable(logLine));
        QVERIFY(log().contains(installed ? "GA: event install_success reason=\"\""
                                         : "GA: event install_failed reason=\"copy_error\""));

        // The bundle byte for byte, or an earlier copy untouched, and nothing beside it; nothing
        // left in the private folder, and no other made.
        const QString dir =
            inRow(QFileInfo(folder).isSymLink() ? QFileInfo(folder).symLinkTarget() : folder);
        const bool oldCopy = setup.contains("oldcopy");
        if (installed)
            QCOMPARE(describeTree(dir + '/' + kApp), describeTree(QM_SAMPLE_APP));
        else if (oldCopy)
            QCOMPARE(readText(dir + '/' + kApp + "/old-version"), "0.9\n");
        QCOMPARE(entries(dir), installed || oldCopy ? QStringList{kApp} : QStringList{});
        QCOMPARE(entries(inRow(H() + "/.cache")), QStringList{"quillmarsh-installer"});
        QCOMPARE(entries(inRow(H() + "/.cache/quillmarsh-installer")), QStringList{});
        // Elevated once, with a shell command line; never for the user's own folder.
        const bool elevated = setup.contains("fake pkexec");
        QCOMPARE(entries(R() + "/fake").filter(".args"),
                 elevated ? QStringList{"pkexec.1.args"} : QStringList{});
        QCOMPARE(readText(R() + "/fake/pkexec.1.args").split(QChar(0)).mid(0, 2),
                 (elevated ? QStringList{"/bin/sh", "-c"} : QStringList{""}));
    }
};

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
