// The whole installation (real download, real image tools, real copies) in the environments a
// desktop user may have: odd install and cache folders, small or RAM-backed file systems,
// missing tools and devices, a proxy. Each row runs envrun as an unprivileged user in a private
// mount namespace of its own (row.sh), so permissions, FUSE and free space behave as they do
// for that user, and nothing the row mounts outlives it.
#include "testhttpserver.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kRunner = QStringLiteral(QM_ENVRUN);
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

// Where two trees differ in names, types, modes, contents or link targets; empty when equal.
QString treeDifference(const QString &a, const QString &b)
{
    const auto list = [](const QString &root) {
        QStringList names;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            names << it.next().mid(root.size());
        names.sort();
        return names;
    };
    const QStringList names = list(a);
    if (names != list(b))
        return QStringLiteral("names: %1 | %2").arg(names.join(' '), list(b).join(' '));
    for (const QString &name : names) {
        struct stat sa
        {
        };
        struct stat sb
        {
        };
        if (::lstat(QFile::encodeName(a + name).constData(), &sa) != 0 ||
            ::lstat(QFile::encodeName(b + name).constData(), &sb) != 0 || sa.st_mode != sb.st_mode)
            return QStringLiteral("mode of %1: %2 | %3")
                .arg(name)
                .arg(sa.st_mode, 0, 8)
                .arg(sb.st_mode, 0, 8);
        if (S_ISLNK(sa.st_mode) && QFile::symLinkTarget(a + name) != QFile::symLinkTarget(b + name))
            return "link " + name;
        if (S_ISREG(sa.st_mode)) {
            QFile fa(a + name);
            QFile fb(b + name);
            if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) ||
                fa.readAll() != fb.readAll())
                return "contents of " + name;
        }
    }
    return {};
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

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    return s.serverPort();
}

} // namespace

class TestEnvironment : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server;
    uint m_uid = 65534;
    QTemporaryDir m_shared; // the proxy's configuration and log
    QProcess m_proxy;
    quint16 m_proxyPort = 0;
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
    // $H, $R and $P of a row's columns; in a pattern the paths stand for themselves.
    QString expand(QString text, bool pattern = false) const
    {
        const auto path = [pattern](const QString &p) {
            return pattern ? QRegularExpression::escape(p) : p;
        };
        return text.replace("$H", path(H()))
            .replace("$R", path(R()))
            .replace("$P", QString::number(m_proxyPort));
    }

    bool makeRowFolders()
    {
        // Not in /tmp: each row has a /tmp of its own.
        m_row = std::make_unique<QTemporaryDir>(QM_BINARY_DIR "/env-rows/row-XXXXXX");
        const QString u = QString::number(m_uid);
        if (!m_row->isValid() || ::chmod(QFile::encodeName(R()).constData(), 0755) != 0)
            return false;
        for (const char *d : {"home", "run", "out", "fake", "bin"})
            QDir(R()).mkdir(d);
        return run("chown", {u + ':' + u, H(), R() + "/run", R() + "/fake"}) == 0 &&
               run("chmod", {"0700", H(), R() + "/run"}) == 0;
    }

    void startProxy()
    {
        m_proxyPort = freePort();
        QFile config(m_shared.filePath("tinyproxy.conf"));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nLogFile \"%2\"\n"
                                    "LogLevel Info\nMaxClients 10\nAllow 127.0.0.1\n")
                         .arg(m_proxyPort)
                         .arg(m_shared.filePath("tinyproxy.log"))
                         .toUtf8());
        config.close();
        m_proxy.start("tinyproxy", {"-d", "-c", config.fileName()});
        if (!m_proxy.waitForStarted(5000))
            m_proxyPort = 0;
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
        QVERIFY(QFileInfo(kRunner).isExecutable() && QFileInfo(kFakePkexec).isExecutable());
        m_uid = freeUid();
        m_server = std::make_unique<TestHttpServer>();
        m_server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        QVERIFY(::chmod(QFile::encodeName(m_shared.path()).constData(), 0755) == 0);
        QVERIFY(QDir().mkpath(QM_BINARY_DIR "/env-rows"));
        startProxy();
    }

    void cleanupTestCase()
    {
        if (m_proxy.state() != QProcess::NotRunning) {
            m_proxy.kill();
            m_proxy.waitForFinished(5000);
        }
        m_server.reset();
    }

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
        QTest::addColumn<QString>("setup");   // row.sh commands, as root
        QTest::addColumn<QStringList>("env"); // added to the user's environment
        QTest::addColumn<QString>("wrap");    // program the installer runs under
        QTest::addColumn<QString>("folder");  // typed into the location field
        QTest::addColumn<QString>("message"); // shown to the user; "installed": success
        QTest::addColumn<QString>("logLine"); // pattern of a setup-log line; empty: none
        QTest::addColumn<QString>("reason");  // pattern of install_failed's reason
        QTest::addColumn<int>("requests");    // image requests; -1: any
        QTest::addColumn<bool>("oldCopy");    // an earlier copy is in the install folder
        QTest::addColumn<bool>("cutFirst");   // the first answer breaks off half way

        const QString ok = kOutcomeInstalled;
        const QString space = "Not enough disk space: Quillmarsh needs \\d+ MB in %1\\.";
        const QString spaceLine =
            "FLOW: not enough disk space in %1: \\d+ bytes needed, \\d+ available";
        const QString copyError = "copy_error";
        const QString apps = "$H/Applications";
        const QString cache = "$H/.cache/quillmarsh-installer";
        const QString cacheFolder = "$H/\\.cache(/quillmarsh-installer)?"; // either may be named
        const QString cached = "mkdir -p $H/.cache/quillmarsh-installer && own $H/.cache && ";
        const QString readOnly = "oldcopy $H/Applications && chmod 0555 $H/Applications && ";
        // clang-format off
        QTest::newRow("install folder missing, no XDG_RUNTIME_DIR")
            << "" << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("install folder path with quotes, spaces, missing parents")
            << "" << QStringList{} << "" << "$H/a b/O'Brien \"x\"/Applications" << ok << "" << "" << 1 << false << false;
        QTest::newRow("old copy replaced")
            << "oldcopy $H/Applications" << QStringList{} << "" << apps << ok << "" << "" << 1 << true << false;
        QTest::newRow("read-only with an old copy, no pkexec")
            << readOnly + "true" << QStringList{} << "" << apps << kCopyFailed
            << "INST: [^\\n]*pkexec" << copyError << 1 << true << false;
        QTest::newRow("read-only, prompt dismissed (126)")
            << readOnly + "fake pkexec 126" << QStringList{} << "" << apps
            << "Installation was cancelled at the authorization prompt."
            << "INST: [^\\n]*(126|dismiss|cancel)" << copyError << 1 << true << false;
        QTest::newRow("read-only, not authorised (127)")
            << readOnly + "fake pkexec 127" << QStringList{} << "" << apps << kCopyFailed
            << "INST: [^\\n]*(127|not authori|agent)" << copyError << 1 << true << false;
        QTest::newRow("install folder mode 0200")
            << "mkdir $H/Applications && own $H/Applications && chmod 0200 $H/Applications"
            << QStringList{} << "" << apps << kCopyFailed << "" << copyError << 1 << false << false;
        QTest::newRow("install folder mode 0300")
            << "mkdir $H/Applications && own $H/Applications && chmod 0300 $H/Applications"
            << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("install folder a symlink")
            << "mkdir $H/real && ln -s real $H/Applications && own $H/real $H/Applications"
            << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("install folder on another file system")
            << "tmpfs $H/Applications 8m" << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("install file system too small, old copy kept")
            << "tmpfs $H/Applications 512k && oldcopy $H/Applications" << QStringList{} << "" << apps
            << space.arg(apps) << spaceLine.arg(apps) << "disk_space" << 1 << true << false;
        QTest::newRow("cache folder mode 0755")
            << cached + "chmod 0755 " + cache << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("cache folder of another user")
            << cached + "chown 0:0 " + cache + " && chmod 0700 " + cache
            << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("cache folder a symlink")
            << "mkdir -p $H/.cache $R/elsewhere && ln -s $R/elsewhere " + cache + " && own $H/.cache $R/elsewhere"
            << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("cache folder a file")
            << "mkdir -p $H/.cache && touch " + cache + " && own $H/.cache"
            << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("cache folder's parent read-only")
            << "mkdir -p $H/.cache && own $H/.cache && chmod 0555 $H/.cache" << QStringList{} << "" << apps
            << ok << "" << "" << 1 << false << false;
        QTest::newRow("cache file system too small for the image")
            << "tmpfs $H/.cache 128k" << QStringList{} << "" << apps
            << space.arg(cacheFolder) << spaceLine.arg(cacheFolder) << "disk_space" << 1 << false << false;
        QTest::newRow("runtime folder of the session")
            << "" << QStringList{"XDG_RUNTIME_DIR=$R/run"} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("runtime folder a 2 MB tmpfs")
            << "tmpfs $R/run 2m" << QStringList{"XDG_RUNTIME_DIR=$R/run"} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("HOME read-only")
            << "mkdir $R/apps && own $R/apps && chmod 0555 $H" << QStringList{} << "" << "$R/apps"
            << "No private folder could be made for the download." << "" << "" // no log either
            << 0 << false << false;
        QTest::newRow("no /dev/fuse")
            << "" << QStringList{} << "bwrap --bind / / --dev /dev --" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("no squashfuse")
            << "hide squashfuse" << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("FUSE device for root only")
            << "chmod 0600 $R/fuse" << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("no fusermount3")
            << "hide fusermount3" << QStringList{} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("no image tool at all")
            << "hide squashfuse unsquashfs" << QStringList{} << "" << apps << "Could not mount the disk image."
            << "INST: (?=[^\\n]*squashfuse)(?=[^\\n]*squashfs-tools)" << copyError << 1 << false << false;
        QTest::newRow("through a proxy")
            << "" << QStringList{"http_proxy=http://127.0.0.1:$P"} << "" << apps << ok << "" << "" << 1 << false << false;
        QTest::newRow("proxy bypassed by no_proxy")
            << "" << QStringList{"http_proxy=http://127.0.0.1:1", "no_proxy=127.0.0.1"} << "" << apps
            << ok << "" << "" << 1 << false << false;
        QTest::newRow("cut mid-body, resumed")
            << "" << QStringList{} << "" << apps << ok << "" << "" << 2 << false << true;
        // clang-format on
    }

    void matrix()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, env);
        QFETCH(QString, wrap);
        QFETCH(QString, folder);
        QFETCH(QString, message);
        QFETCH(QString, logLine);
        QFETCH(QString, reason);
        QFETCH(int, requests);
        QFETCH(bool, oldCopy);
        QFETCH(bool, cutFirst);
        if (env.join(' ').contains("$P") && !m_proxyPort)
            QSKIP("tinyproxy is not available");
        if (!wrap.isEmpty() &&
            run("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "bwrap", "--bind",
                            "/", "/", "--dev", "/dev", "true"}) != 0)
            QSKIP("bubblewrap cannot make a namespace here");

        QVERIFY(makeRowFolders());
        folder = expand(folder);
        m_server->clearRequests();
        if (cutFirst) {
            HttpResponse cut =
                TestHttpServer::fileResponse({}, QM_SAMPLE_IMAGE_DIR "/quillmarsh.dmg");
            cut.closeAfter = cut.body.size() / 2;
            m_server->enqueue(cut);
        }
        const qint64 proxyLogStart = QFileInfo(m_shared.filePath("tinyproxy.log")).size();

        const QString u = QString::number(m_uid);
        QStringList command{"-m",
                            "--propagation",
                            "private",
                            "/bin/sh",
                            kRowScript,
                            expand(setup),
                            "setpriv",
                            "--reuid=" + u,
                            "--regid=" + u,
                            "--clear-groups",
                            "env",
                            "-i",
                            "HOME=" + H(),
                            "PATH=/usr/bin:/bin",
                            "LANG=C.UTF-8",
                            "QT_QPA_PLATFORM=offscreen",
                            "QM_FAKE_DIR=" + R() + "/fake"};
        for (const char *name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (qEnvironmentVariableIsSet(name))
                command << QString(name) + '=' + qEnvironmentVariable(name);
        for (const QString &e : env)
            command << expand(e);
        if (!wrap.isEmpty())
            command << wrap.split(' ');
        command << kRunner << m_server->url(QString()) << folder;

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
            QCOMPARE(treeDifference(dir + '/' + kApp, kSampleApp), QString());
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
        if (setup.contains("fake pkexec")) { // asked once, for a shell command line
            QFile args(R() + "/fake/pkexec.1.args");
            QVERIFY(args.open(QIODevice::ReadOnly));
            QVERIFY(args.readAll().startsWith(QByteArray("/bin/sh\0-c\0", 10)));
            QVERIFY(!QFile::exists(R() + "/fake/pkexec.2.args"));
        }
        if (env.join(' ').contains("$P")) {
            QFile proxyLog(m_shared.filePath("tinyproxy.log"));
            QVERIFY(proxyLog.open(QIODevice::ReadOnly) && proxyLog.seek(proxyLogStart));
            QVERIFY(proxyLog.readAll().contains("GET " + m_server->url("/quillmarsh").toUtf8()));
        }
    }
};

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
