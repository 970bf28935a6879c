// The whole installation (real download, real image tools, real copies) in the environments a
// desktop user may have: odd install and cache folders, small or RAM-backed file systems,
// missing tools and devices. Each row runs envrun as an unprivileged user in a private
// mount namespace of its own (row.sh), so permissions, FUSE and free space behave as they do
// for that user, and nothing the row mounts outlives it.
#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kBuiltRunner = QStringLiteral(QM_ENVRUN);
const QString kRowScript = QStringLiteral(QM_SOURCE_DIR "/tests/env/row.sh");
const QString kFakePkexec = QStringLiteral(QM_BINARY_DIR "/bin/fakes/pkexec");
const QString kSampleApp = QStringLiteral(QM_SAMPLE_APP);
const QString kApp = QStringLiteral("Quillmarsh.app");
const QString kCopyFailed =
    QStringLiteral("Could not copy the application to the install location.");
const QString kOutcomeInstalled = QStringLiteral("installed");

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

// An unused user id: no account, no process. The row's leftover processes are found by it.
uint freeUid()
{
    for (uint uid = 48611; uid < 48711; ++uid)
        if (run("getent", {"passwd", QString::number(uid)}) == 2 &&
            run("pgrep", {"-u", QString::number(uid)}) == 1)
            return uid;
    return 65534;
}

// Rows leave most members at their defaults; GCC 12 warns of that in designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct Row
{
    QString setup;                       // row.sh commands, as root
    QStringList env;                     // added to the user's environment
    QString wrap;                        // program the installer runs under
    QString folder = "$H/Applications";  // typed into the location field
    QString message = kOutcomeInstalled; // shown to the user; "installed": success
    QString logLine;                     // pattern of a setup-log line; empty: none
    QString reason;                      // pattern of install_failed's reason
    int requests = 1;                    // image requests; -1: any
    bool oldCopy = false;                // an earlier copy is in the install folder
};

} // namespace

Q_DECLARE_METATYPE(Row)

class TestEnvironment : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server;
    uint m_uid = 65534;
    QTemporaryDir m_shared; // the rows' folders and the runner
    // The current row: its folder, and the namespace that holds its mounts.
    std::unique_ptr<QTemporaryDir> m_row;
    QProcess m_namespace;

    QString R() const { return m_row->path(); }
    QString H() const { return m_row->path() + "/home"; }
    // A path as the row's namespace sees it (its mounts included).
    QString inRow(const QString &path) const
    {
        return QStringLiteral("/proc/%1/root%2").arg(m_namespace.processId()).arg(path);
    }
    // $H and $R of a row's columns; in a pattern the paths stand for themselves.
    QString expand(QString text, bool pattern = false) const
    {
        const auto path = [pattern](const QString &p) {
            return pattern ? QRegularExpression::escape(p) : p;
        };
        return text.replace("$H", path(H())).replace("$R", path(R()));
    }

    QString runner() const { return m_shared.filePath("qm-envrun"); }

    bool makeRowFolders()
    {
        // Under the shared folder in /tmp, which the user can reach wherever the build lives.
        m_row = std::make_unique<QTemporaryDir>(m_shared.filePath("row-XXXXXX"));
        const QString u = QString::number(m_uid);
        if (!m_row->isValid() || ::chmod(QFile::encodeName(R()).constData(), 0755) != 0)
            return false;
        for (const char *d : {"home", "run", "out", "fake", "bin"})
            QDir(R()).mkdir(d);
        return run("chown", {u + ':' + u, H(), R() + "/run", R() + "/fake"}) == 0 &&
               run("chmod", {"0700", H(), R() + "/run"}) == 0;
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
        QVERIFY(QFileInfo(kBuiltRunner).isExecutable() && QFileInfo(kFakePkexec).isExecutable());
        m_uid = freeUid();
        m_server = std::make_unique<TestHttpServer>();
        m_server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        QVERIFY(::chmod(QFile::encodeName(m_shared.path()).constData(), 0755) == 0);
        // A copy the user can run even when the build tree is in a folder only root may enter.
        QVERIFY(QFile::copy(kBuiltRunner, runner()));
    }

    void cleanupTestCase() { m_server.reset(); }

    // Everything a row made goes, even when it failed: closing the namespace's input ends it,
    // and with it every mount the row made.
    void cleanup()
    {
        if (QTest::currentTestFailed() && m_row) {
            qWarning().noquote() << "installer's output:\n" +
                                        readText(R() + "/out/stderr").right(3000);
            qWarning().noquote() << "setup log:\n" +
                                        readText(inRow(
                                            H() + "/.local/state/Logs/quillmarsh-installer.log"));
        }
        if (m_namespace.state() != QProcess::NotRunning) {
            m_namespace.closeWriteChannel();
            if (!m_namespace.waitForFinished(5000)) {
                m_namespace.kill();
                m_namespace.waitForFinished(5000);
            }
        }
        m_row.reset();
    }

    void matrix_data()
    {
        // clang-format off
        QTest::addColumn<Row>("row");
        const auto add = [](const char *name, const Row &row) { QTest::newRow(name) << row; };
        const QString space = "Not enough disk space: Quillmarsh needs \\d+ MB in %1\\.";
        const QString spaceLine = "FLOW: not enough disk space in %1: \\d+ bytes needed, \\d+ available";
        const QString cacheFolder = "$H/\\.cache(/quillmarsh-installer)?"; // either may be named
        const QString noFuse = "bwrap --bind / / --dev /dev --";
        const QString noPkexec = "INST: no pkexec on this machine";
        const QString copy = "copy_error";
        add("install folder missing, no XDG_RUNTIME_DIR", {});
        add("install folder path with quotes, spaces, missing parents",
            {.folder = "$H/a b/O'Brien \"x\"/Applications"});
        add("old copy replaced", {.setup = "oldcopy $H/Applications", .oldCopy = true});
        // Root works only in folders that no one else can change, such as /mnt/Applications.
        const QString rootApps = "rootapps && oldcopy /mnt/Applications && chown 0:0 /mnt/Applications && ";
        add("administrator install into a folder of root's", {.setup = rootApps + "fake pkexec root",
            .folder = "/mnt/Applications", .oldCopy = true});
        add("no pkexec", {.setup = rootApps + "true", .folder = "/mnt/Applications", .message = kCopyFailed,
            .logLine = noPkexec, .reason = copy, .oldCopy = true});
        add("install folder mode 0300",
            {.setup = "mkdir $H/Applications && own $H/Applications && chmod 0300 $H/Applications"});
        add("install folder a symlink", {.setup = "mkdir $H/real && ln -s real $H/Applications && own $H/real $H/Applications"});
        add("install folder on another file system", {.setup = "tmpfs $H/Applications 8m"});
        add("cache file system too small for the image",
            {.setup = "tmpfs $H/.cache 128k", .message = space.arg(cacheFolder),
             .logLine = spaceLine.arg(cacheFolder), .reason = "disk_space"});
        add("runtime folder a 2 MB tmpfs", {.setup = "tmpfs $R/run 2m", .env = {"XDG_RUNTIME_DIR=$R/run"}});
        add("HOME read-only", {.setup = "mkdir $R/apps && own $R/apps && chmod 0555 $H", .folder = "$R/apps",
            .message = "No private folder could be made for the download.", .requests = 0}); // no log either
        add("no /dev/fuse", {.wrap = noFuse});
        add("no /dev/fuse and no unsquashfs", {.setup = "hide unsquashfs", .wrap = noFuse,
            .message = "Could not mount the disk image.",
            .logLine = "INST: FUSE cannot be used and unsquashfs is not installed \\(Debian package "
                       "squashfs-tools\\)", .reason = copy});
        add("no image tool at all", {.setup = "hide squashfuse unsquashfs", .message = "Could not mount the disk image.",
            .logLine = "INST: neither squashfuse nor unsquashfs is installed \\(Debian packages "
                       "squashfuse and squashfs-tools\\)", .reason = copy});
        // clang-format on
    }

    void matrix()
    {
        QFETCH(Row, row);
        const auto &[setup, env, wrap, folderColumn, message, logLine, reason, requests, oldCopy] =
            row;
        if (!wrap.isEmpty() &&
            run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "bwrap", "--bind",
                            "/", "/", "--dev", "/dev", "true"}) != 0)
            QSKIP("bubblewrap cannot make a namespace here");

        QVERIFY(makeRowFolders());
        const QString folder = expand(folderColumn);
        m_server->clearRequests();

        const QString u = QString::number(m_uid);
        // clang-format off
        QStringList command{"-m", "--propagation", "private", "/bin/sh", kRowScript, expand(setup),
                            "setpriv", "--reuid=" + u, "--regid=" + u, "--clear-groups", "env", "-i",
                            "HOME=" + H(), "PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                            "QT_QPA_PLATFORM=offscreen", "QM_FAKE_DIR=" + R() + "/fake"};
        // clang-format on
        for (const char *name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(name))
                command << QString(name) + '=' + qEnvironmentVariable(name);
        for (const QString &e : env)
            command << expand(e);
        if (!wrap.isEmpty())
            command << wrap.split(' ');
        command << runner() << m_server->url(QString()) << folder;

        QProcessEnvironment rowEnv = QProcessEnvironment::systemEnvironment();
        rowEnv.insert("R", R());
        rowEnv.insert("U", u);
        rowEnv.insert("FAKE", kFakePkexec);
        m_namespace.setProcessEnvironment(rowEnv);
        m_namespace.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_namespace.start("unshare", command);
        QVERIFY(m_namespace.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(
            QFile::exists(R() + "/out/done") || m_namespace.state() == QProcess::NotRunning, 45000);
        QVERIFY2(QFile::exists(R() + "/out/done"), "the row's set-up failed");

        // Ended cleanly and in time, leaving no mount and no process behind.
        const QString summaryText = readText(R() + "/out/summary");
        const QJsonObject summary = QJsonDocument::fromJson(summaryText.toUtf8()).object();
        const QString log = readText(inRow(H() + "/.local/state/Logs/quillmarsh-installer.log"));
        QVERIFY2(readText(R() + "/out/rc").trimmed() == "0", qPrintable(summaryText));
        const int ms = readText(R() + "/out/ms").toInt();
        qInfo("installer ran %d ms", ms);
        QVERIFY2(ms < 30000, qPrintable(QString::number(ms)));
        QCOMPARE(readText(R() + "/out/mounts"), QString());
        QCOMPARE(readText(R() + "/out/processes"), QString());
        QCOMPARE(readText(R() + "/out/tmp"), QString());
        if (requests >= 0)
            QCOMPARE(m_server->requestCount(), requests);

        // What the user was told, and what the log and the events say.
        const bool installed = message == kOutcomeInstalled;
        QCOMPARE(summary["outcome"].toString(), installed ? "installed" : "failed");
        if (!installed) {
            const QRegularExpression shown("^" + expand(message, true) + "$");
            QStringList texts{summary["alert"].toString()};
            for (const QJsonValue &v : summary["labels"].toArray())
                texts << v.toString();
            QVERIFY2(texts.indexOf(shown) >= 0, qPrintable(texts.join(" | ")));
        }
        if (!logLine.isEmpty())
            QVERIFY(log.contains(QRegularExpression(expand(logLine, true))));
        if (installed)
            QVERIFY(log.contains("GA: event install_success reason=\"\""));
        else if (!reason.isEmpty())
            QVERIFY(log.contains(
                QRegularExpression("GA: event install_failed reason=\"" + reason + "\"")));

        // The bundle: byte-identical when installed, an earlier copy untouched otherwise, and
        // nothing else beside it (no staging or swapped-out copies).
        const QString dir =
            inRow(QFileInfo(folder).isSymLink() ? QFileInfo(folder).symLinkTarget() : folder);
        if (installed)
            QCOMPARE(describeTree(dir + '/' + kApp), describeTree(kSampleApp));
        else if (oldCopy)
            QCOMPARE(readText(dir + "/" + kApp + "/old-version") +
                         readText(dir + "/" + kApp + "/AppRun"),
                     QString("0.9\nold\n"));
        const QStringList expectedEntries =
            installed || oldCopy ? QStringList{kApp} : QStringList{};
        if (QFileInfo::exists(dir))
            QCOMPARE(entries(dir), expectedEntries);

        // Nothing left in the private folder, none made beside it, none in the runtime folder.
        const QString cacheDir = inRow(H() + "/.cache");
        for (const QString &name : entries(cacheDir)) {
            const QFileInfo info(cacheDir + '/' + name);
            if (!name.startsWith("quillmarsh-installer"))
                continue;
            QCOMPARE(name, QString("quillmarsh-installer"));
            if (info.isDir() && !info.isSymLink())
                QCOMPARE(entries(info.filePath()), QStringList{});
        }
        QCOMPARE(entries(inRow(R() + "/run")), QStringList{});
        QCOMPARE(entries(R() + "/elsewhere"), QStringList{});
        if (!QFileInfo(H()).permission(QFile::WriteOwner))
            QCOMPARE(entries(H()), QStringList{});
        if (setup.contains(
                "fake pkexec")) { // once, for a shell command line; never for the user's folder
            QFile args(R() + "/fake/pkexec.1.args");
            QCOMPARE(args.open(QIODevice::ReadOnly), folder.startsWith("/mnt"));
            QVERIFY(!args.isOpen() || args.readAll().startsWith(QByteArray("/bin/sh\0-c\0", 10)));
            QVERIFY(!QFile::exists(R() + "/fake/pkexec.2.args"));
        }
    }
};

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
