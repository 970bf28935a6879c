#include "installtestutil.h"

#include "install/dmginstaller.h"
#include "install/filetree.h"
#include "install/privilegedcopy.h"
#include "install/squashfsimagetool.h"
#include "platform/paths.h"

#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

using namespace install;

namespace {

const QString kMountFailed = "Could not mount the disk image.";
const QString kNotFound = "The application was not found in the disk image.";
const QString kCancelled = QString::fromLatin1(kCancelledMessage);
const QString kCopyFailed = QString::fromLatin1(kCopyFailedMessage);

struct Outcome
{
    QStringList stages;
    bool done = false;
    bool success = false;
    QString app;
    QString error;
};

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestDMGInstaller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_fakes.reset(); }
    void cleanup() { QVERIFY(DMGInstaller::waitForWorkers(30000)); }

    void pipeline_data();
    void pipeline();
    void hostilePaths_data();
    void hostilePaths();
    void macProtocol_data();
    void macProtocol();
    void completionBeforeDetach();

private:
    QString freshFolder() { return m_tmp.filePath(QString("run%1").arg(++m_runs)); }
    std::shared_ptr<SquashfsImageTool> imageTool(bool fuse) const;
    bool run(std::shared_ptr<DMGInstaller> installer, Outcome *outcome);

    QTemporaryDir m_tmp;
    Fakes m_fakes;
    LogWatch m_log;
    bool m_fuse = false;
    int m_runs = 0;
};

void TestDMGInstaller::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    m_fakes.init(m_tmp.filePath("fakes"));
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    m_fuse = fd >= 0;
    if (fd >= 0)
        ::close(fd);
    // Leftovers of an earlier, interrupted run would spoil the nothing-left-behind checks.
    for (const QString &name : entries(platform::privateDirectory()))
        removeTree(platform::privateDirectory() + '/' + name);

    const QString trees = m_tmp.filePath("trees");
    makeBundle(trees + "/full/Quillmarsh.app", 3 * 1024 * 1024);
    writeFile(trees + "/full/Other.app/AppRun", "other\n", QFile::ExeOwner);
    writeFile(trees + "/full/README", "readme\n");
    writeFile(trees + "/other/Other.app/AppRun", "other\n", QFile::ExeOwner);
    writeFile(trees + "/other/README", "readme\n");
    writeFile(trees + "/upper/Foo.App/AppRun", "foo\n", QFile::ExeOwner);
    writeFile(trees + "/none/README", "readme\n");
    for (const char *name : {"full", "other", "upper", "none"})
        makeImage(trees + '/' + name, m_tmp.filePath(QString(name) + ".img"));

    QFile full(m_tmp.filePath("full.img"));
    QVERIFY(full.open(QIODevice::ReadOnly));
    QByteArray bytes = full.readAll();
    writeFile(m_tmp.filePath("truncated.img"), bytes.left(bytes.size() / 2));
    // Damaged compressed data near the start: the image mounts, reading the big file fails.
    for (int i = 1000; i < 5000; ++i)
        bytes[i] = char(bytes[i] ^ 0x5a);
    writeFile(m_tmp.filePath("damaged.img"), bytes);
    QByteArray noise;
    for (int i = 0; i < 65536; ++i)
        noise += char((i * 7919) >> 3);
    writeFile(m_tmp.filePath("noise.img"), noise);
    writeFile(m_tmp.filePath("empty.img"), {});
}

std::shared_ptr<SquashfsImageTool> TestDMGInstaller::imageTool(bool fuse) const
{
    SquashfsImageTool::Paths paths;
    if (!fuse)
        paths.fuseDevice = m_tmp.filePath("no-fuse-device");
    return std::make_shared<SquashfsImageTool>(paths);
}

bool TestDMGInstaller::run(std::shared_ptr<DMGInstaller> installer, Outcome *outcome)
{
    auto result = std::make_shared<Outcome>();
    installer->onStatus = [result](const QString &stage) { result->stages << stage; };
    installer->onComplete = [result](bool success, const QString &app, const QString &error) {
        result->done = true;
        result->success = success;
        result->app = app;
        result->error = error;
    };
    installer->start();
    installer.reset();
    const bool done = QTest::qWaitFor([&] { return result->done; }, 60000);
    *outcome = *result;
    return done && DMGInstaller::waitForWorkers(30000);
}

void TestDMGInstaller::pipeline_data()
{
    QTest::addColumn<bool>("fuse");
    QTest::addColumn<QString>("image");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QByteArray>("pkexec"); // "exec", or the exit status of the prompt
    QTest::addColumn<bool>("oldCopy");
    QTest::addColumn<QStringList>("stages");
    QTest::addColumn<QString>("app"); // installed bundle, empty on failure
    QTest::addColumn<QString>("error");

    const QStringList mount{"mount"};
    const QStringList copy{"mount", "copy"};
    const QStringList authorize{"mount", "copy", "authorize"};
    for (bool fuse : {true, false}) {
        auto row = [fuse](const char *name) -> QTestData & {
            return QTest::addRow("%s %s", fuse ? "mounted" : "extracted", name) << fuse;
        };
        row("bundle by name") << "full" << true << QByteArray() << false << copy << "Quillmarsh.app" << QString();
        row("bundle found by listing") << "other" << true << QByteArray() << false << copy << "Other.app" << QString();
        row("Foo.App is no bundle") << "upper" << true << QByteArray() << false << mount << QString() << kNotFound;
        row("no bundle") << "none" << true << QByteArray() << false << mount << QString() << kNotFound;
        row("old copy replaced") << "full" << true << QByteArray() << true << copy << "Quillmarsh.app" << QString();
        row("privileged copy") << "full" << false << QByteArray("exec") << true << authorize << "Quillmarsh.app" << QString();
        row("prompt dismissed") << "full" << false << QByteArray("126") << true << authorize << QString() << kCancelled;
        row("privileged copy failed") << "other" << false << QByteArray("127") << false << authorize << QString() << kCopyFailed;
        // unsquashfs checks the data it extracts; a mount finds the damage only when copying.
        row("unreadable image data keeps the old copy")
            << "damaged" << true << QByteArray("exec") << true << (fuse ? authorize : mount)
            << QString() << (fuse ? kCopyFailed : kMountFailed);
        row("truncated image") << "truncated" << true << QByteArray() << false << mount << QString() << kMountFailed;
        row("not squashfs") << "noise" << true << QByteArray() << false << mount << QString() << kMountFailed;
        row("empty image") << "empty" << true << QByteArray() << false << mount << QString() << kMountFailed;
    }
}

void TestDMGInstaller::pipeline()
{
    QFETCH(bool, fuse);
    QFETCH(QString, image);
    QFETCH(bool, writable);
    QFETCH(QByteArray, pkexec);
    QFETCH(bool, oldCopy);
    QFETCH(QStringList, stages);
    QFETCH(QString, app);
    QFETCH(QString, error);
    if (fuse && !m_fuse)
        QSKIP("/dev/fuse cannot be opened here: mounting with squashfuse is not tested");

    if (pkexec == "exec")
        m_fakes.script("pkexec.exec", {});
    else if (!pkexec.isEmpty())
        m_fakes.script("pkexec.rc", pkexec);
    // A folder that does not exist yet, unless it holds the old copy.
    const QString destDir = freshFolder() + "/Apps/sub";
    const QString bundle = app.isEmpty() ? "Quillmarsh.app" : app;
    if (oldCopy) {
        writeFile(destDir + '/' + bundle + "/old-marker", "old");
        QVERIFY(QDir().mkpath(destDir + '/' + bundle + "/locked"));
        QFile::setPermissions(destDir + '/' + bundle + "/locked", QFile::ReadOwner | QFile::ExeOwner);
    }

    auto installer = DMGInstaller::create(m_tmp.filePath(image + ".img"), "Quillmarsh.app", destDir);
    DMGInstaller::Tools tools;
    tools.imageTool = imageTool(fuse);
    tools.elevationTool = Fakes::tool("pkexec");
    tools.isWritable = [writable](const QString &) { return writable; };
    installer->setTools(tools);
    Outcome outcome;
    QVERIFY(run(installer, &outcome));

    QCOMPARE(outcome.stages, stages);
    QCOMPARE(outcome.error, error);
    QCOMPARE(outcome.success, error.isEmpty());
    QCOMPARE(outcome.app, app.isEmpty() ? QString() : destDir + '/' + app);
    if (outcome.success)
        QCOMPARE(describeTree(outcome.app), describeTree(m_tmp.filePath("trees/" + image + '/' + app)));
    if (oldCopy)
        QCOMPARE(QFile::exists(destDir + '/' + bundle + "/old-marker"), !outcome.success);
    for (const QStringList &call : m_fakes.calls("pkexec"))
        QCOMPARE(call.mid(0, 2), QStringList({"/bin/sh", "-c"}));

    // Nothing left behind: no hidden sibling, mount point, extraction or staging copy.
    QCOMPARE(entries(destDir), outcome.success || oldCopy ? QStringList{bundle} : QStringList{});
    QCOMPARE(entries(platform::privateDirectory()), QStringList());
}

void TestDMGInstaller::hostilePaths_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("privileged");
    const QStringList names{"O'Brien", "say \"hi\"", "back\\slash", "$(touch pwned)",
                            "`touch pwned`", "two  spaces ", "new\nline", "Zoë 東京"};
    for (const QString &name : names) {
        const QString shown = QString(name).replace('\n', "\\n");
        QTest::addRow("direct %s", qPrintable(shown)) << name << false;
        QTest::addRow("privileged %s", qPrintable(shown)) << name << true;
    }
}

void TestDMGInstaller::hostilePaths()
{
    QFETCH(QString, folder);
    QFETCH(bool, privileged);
    m_fakes.script("pkexec.exec", {});
    const QString destDir = freshFolder() + '/' + folder + "/Apps";

    auto installer = DMGInstaller::create(m_tmp.filePath("other.img"), "Quillmarsh.app", destDir);
    DMGInstaller::Tools tools;
    tools.imageTool = imageTool(m_fuse);
    tools.elevationTool = Fakes::tool("pkexec");
    tools.isWritable = [privileged](const QString &) { return !privileged; };
    installer->setTools(tools);
    Outcome outcome;
    QVERIFY(run(installer, &outcome));

    QCOMPARE(outcome.error, QString());
    QCOMPARE(outcome.app, destDir + "/Other.app");
    QCOMPARE(describeTree(outcome.app), describeTree(m_tmp.filePath("trees/other/Other.app")));
    QCOMPARE(entries(destDir), QStringList{"Other.app"});
    QCOMPARE(m_fakes.calls("pkexec").size(), privileged ? 1 : 0);
    QVERIFY(!QFile::exists("pwned"));
}

void TestDMGInstaller::macProtocol_data()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QByteArray>("rc"); // osascript's exit status
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QByteArray>("xattrRc");
    QTest::addColumn<QString>("error");

    QTest::newRow("direct copy") << true << QByteArray("0") << QByteArray() << QByteArray() << QByteArray("0") << QString();
    QTest::newRow("quarantine removal fails") << true << QByteArray("0") << QByteArray() << QByteArray() << QByteArray("1") << QString();
    QTest::newRow("privileged copy") << false << QByteArray("0") << QByteArray() << QByteArray() << QByteArray("0") << QString();
    QTest::newRow("-128 on stderr") << false << QByteArray("1") << QByteArray()
                                    << QByteArray("0:95: execution error: User canceled. (-128)\n")
                                    << QByteArray("0") << kCancelled;
    QTest::newRow("User canceled on stdout") << false << QByteArray("1") << QByteArray("User canceled")
                                             << QByteArray() << QByteArray("0") << kCancelled;
    QTest::newRow("other failure") << false << QByteArray("1") << QByteArray("ditto: No space left on device")
                                   << QByteArray() << QByteArray("0") << kCopyFailed;
}

void TestDMGInstaller::macProtocol()
{
    QFETCH(bool, writable);
    QFETCH(QByteArray, rc);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(QByteArray, xattrRc);
    QFETCH(QString, error);

    const QString volume = m_tmp.filePath("trees/full");
    const QString destDir = freshFolder();
    const QString dest = destDir + "/Quillmarsh.app";
    m_fakes.script("hdiutil.1.out", ("<plist><dict><key>system-entities</key><array><dict>"
                                     "<key>mount-point</key><string>" + volume + "</string></dict></array></dict></plist>").toUtf8());
    m_fakes.script("osascript.rc", rc);
    m_fakes.script("osascript.out", out);
    m_fakes.script("osascript.err", err);
    m_fakes.script("xattr.rc", xattrRc);

    auto installer = DMGInstaller::create("/Downloads/q.dmg", "Quillmarsh.app", destDir);
    DMGInstaller::Tools tools;
    tools.imageTool = std::make_shared<HdiutilImageTool>(Fakes::tool("hdiutil"));
    tools.elevation = ElevationProtocol::AppleScript;
    tools.elevationTool = Fakes::tool("osascript");
    tools.quarantineTool = Fakes::tool("xattr");
    tools.isWritable = [writable](const QString &) { return writable; };
    installer->setTools(tools);
    m_log.newText();
    Outcome outcome;
    QVERIFY(run(installer, &outcome));

    QCOMPARE(outcome.error, error);
    QCOMPARE(outcome.app, error.isEmpty() ? dest : QString());
    const QList<QStringList> hdiutil{
        {"attach", "/Downloads/q.dmg", "-nobrowse", "-noverify", "-readonly", "-plist"},
        {"detach", volume, "-quiet"}};
    QCOMPARE(m_fakes.calls("hdiutil"), hdiutil);
    QList<QStringList> osascript;
    if (!writable)
        osascript << QStringList{"-e", appleScriptCopyScript(volume + "/Quillmarsh.app", dest)};
    QCOMPARE(m_fakes.calls("osascript"), osascript);
    QList<QStringList> xattr;
    if (error.isEmpty())
        xattr << QStringList{"-dr", "com.apple.quarantine", dest};
    QCOMPARE(m_fakes.calls("xattr"), xattr);
    if (writable)
        QCOMPARE(describeTree(dest), describeTree(volume + "/Quillmarsh.app"));
    const QString log = m_log.newText();
    QCOMPARE(log.contains("INST: privileged copy failed, rc=" + rc + " out=" + out + err), rc != "0");
    QCOMPARE(log.contains("INST: install SUCCESS at " + dest), error.isEmpty());
}

// The caller drops the installer at once; the completion still arrives, before the detach has
// ended, and the worker lets go of the installer only after the detach.
void TestDMGInstaller::completionBeforeDetach()
{
    const QString gate = m_tmp.filePath("detach-gate");
    m_fakes.script("hdiutil.1.out", "<plist><dict><key>system-entities</key><array><dict><key>mount-point</key>"
                                    "<string>/nonexistent-volume</string></dict></array></dict></plist>");
    m_fakes.script("hdiutil.2.wait", gate.toUtf8());

    auto installer = DMGInstaller::create("/Downloads/q.dmg", "Quillmarsh.app", freshFolder());
    DMGInstaller::Tools tools;
    tools.imageTool = std::make_shared<HdiutilImageTool>(Fakes::tool("hdiutil"));
    installer->setTools(tools);
    std::weak_ptr<DMGInstaller> weak = installer;
    bool completed = false;
    installer->onComplete = [&completed](bool success, const QString &, const QString &error) {
        completed = true;
        QVERIFY(!success);
        QCOMPARE(error, kNotFound);
    };
    installer->start();
    installer.reset();

    QTRY_VERIFY_WITH_TIMEOUT(completed, 20000);
    QVERIFY(!weak.expired());
    writeFile(gate, {});
    QVERIFY(DMGInstaller::waitForWorkers(20000));
    QTRY_VERIFY(weak.expired());
    QCOMPARE(m_fakes.calls("hdiutil").value(1), QStringList({"detach", "/nonexistent-volume", "-quiet"}));
}

QTEST_GUILESS_MAIN(TestDMGInstaller)
#include "tst_dmginstaller.moc"
