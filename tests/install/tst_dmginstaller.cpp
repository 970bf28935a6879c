#include "installtestutil.h"

#include "install/dmginstaller.h"
#include "install/filetree.h"
#include "install/squashfsimagetool.h"
#include "platform/paths.h"

#include <QTemporaryDir>

using namespace install;

namespace {

const QString kMountFailed = "Could not mount the disk image.";
const QString kNotFound = "The application was not found in the disk image.";
const QString kCancelled = QString::fromLatin1(kCancelledMessage);
const QString kCopyFailed = QString::fromLatin1(kCopyFailedMessage);
const QStringList kMount{"mount"};
const QStringList kCopy{"mount", "copy"};
const QStringList kAuthorize{"mount", "copy", "authorize"};

struct Row
{
    bool fuse = true;        // squashfuse mount, else the unsquashfs fallback
    QString image;           // one of those built by initTestCase
    QStringList stages;
    QString app;             // bundle installed, empty on failure
    QString error;
    bool writable = true;    // the injected writability of the install folder
    QByteArray pkexec;       // "exec": run the command line for real; else pkexec's exit status
    bool oldCopy = false;    // an older bundle is installed already
    QString folder = "Apps"; // install folder, below a fresh test folder; not created beforehand

    Row &elevated(const QByteArray &reply, bool folderWritable = false)
    {
        pkexec = reply;
        writable = folderWritable;
        return *this;
    }
    Row &withOldCopy()
    {
        oldCopy = true;
        return *this;
    }
};

Row installs(const QString &image, const QString &app, const QStringList &stages = kCopy)
{
    Row row;
    row.image = image;
    row.app = app;
    row.stages = stages;
    return row;
}

Row fails(const QString &image, const QString &error, const QStringList &stages = kMount)
{
    Row row;
    row.image = image;
    row.error = error;
    row.stages = stages;
    return row;
}

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

Q_DECLARE_METATYPE(Row)

class TestDMGInstaller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_fakes.reset(); }
    void cleanup() { QVERIFY(DMGInstaller::waitForWorkers(30000)); }
    void pipeline_data();
    void pipeline();
    void macProtocol_data();
    void macProtocol();
    void completionBeforeDetach();
    void detachBusyMount();

private:
    QString freshFolder() { return m_tmp.filePath(QString("run%1").arg(++m_runs)); }
    bool run(std::shared_ptr<DMGInstaller> installer, DMGInstaller::Tools tools, Outcome *outcome);

    QTemporaryDir m_tmp;
    Fakes m_fakes;
    LogWatch m_log;
    bool m_fuse = false;
    int m_runs = 0;
};

void TestDMGInstaller::initTestCase()
{
    m_fakes.init(m_tmp.filePath("fakes"));
    // Leftovers of an interrupted run would spoil the nothing-left-behind checks.
    for (const QString &name : entries(platform::privateDirectory()))
        removeTree(platform::privateDirectory() + '/' + name);

    const QString trees = m_tmp.filePath("trees");
    makeBundle(trees + "/full/Quillmarsh.app", 3 * 1024 * 1024);
    for (const char *tree : {"full", "other"})
        writeFile(trees + '/' + tree + "/Other.app/AppRun", "other\n", QFile::ExeOwner);
    writeFile(trees + "/upper/Foo.App/AppRun", "foo\n", QFile::ExeOwner);
    for (const char *tree : {"full", "other", "upper", "none"}) {
        writeFile(trees + '/' + tree + "/README", "readme\n");
        makeImage(trees + '/' + tree, m_tmp.filePath(QString(tree) + ".img"));
    }
    QFile full(m_tmp.filePath("full.img"));
    QVERIFY(full.open(QIODevice::ReadOnly));
    QByteArray bytes = full.readAll();
    writeFile(m_tmp.filePath("truncated.img"), bytes.left(bytes.size() / 2));
    // Damaged compressed data near the start: the image mounts, reading the big file fails.
    for (int i = 1000; i < 5000; ++i)
        bytes[i] = char(bytes[i] ^ 0x5a);
    writeFile(m_tmp.filePath("damaged.img"), bytes);
    writeFile(m_tmp.filePath("noise.img"), QByteArray(65536, 'x'));
    writeFile(m_tmp.filePath("empty.img"), {});

    // FUSE counts as usable only when a mount really works here (device, permissions).
    const QString probe = m_tmp.filePath("probe");
    QDir().mkpath(probe);
    m_fuse = runTool("/usr/bin/squashfuse", {"-o", "ro", m_tmp.filePath("none.img"), probe}) == 0 &&
             QFile::exists(probe + "/README");
    if (m_fuse)
        runTool("/usr/bin/fusermount3", {"-u", probe});
}

bool TestDMGInstaller::run(std::shared_ptr<DMGInstaller> installer, DMGInstaller::Tools tools,
                           Outcome *outcome)
{
    installer->setTools(tools);
    auto result = std::make_shared<Outcome>();
    installer->onStatus = [result](const QString &stage) { result->stages << stage; };
    installer->onComplete = [result](bool success, const QString &app, const QString &error) {
        *result = {result->stages, true, success, app, error};
    };
    installer->start();
    installer.reset();
    const bool done = QTest::qWaitFor([&] { return result->done; }, 60000);
    *outcome = *result;
    return done && DMGInstaller::waitForWorkers(30000);
}

void TestDMGInstaller::pipeline_data()
{
    QTest::addColumn<Row>("row");
    for (bool fuse : {true, false}) {
        auto add = [fuse](const char *name, Row row) {
            row.fuse = fuse;
            QTest::addRow("%s %s", fuse ? "mounted" : "extracted", name) << row;
        };
        add("bundle by name", installs("full", "Quillmarsh.app"));
        add("bundle found by listing", installs("other", "Other.app"));
        add("Foo.App is no bundle", fails("upper", kNotFound));
        add("no bundle", fails("none", kNotFound));
        add("old copy replaced", installs("full", "Quillmarsh.app").withOldCopy());
        add("privileged copy", installs("full", "Quillmarsh.app", kAuthorize).elevated("exec").withOldCopy());
        add("prompt dismissed", fails("full", kCancelled, kAuthorize).elevated("126").withOldCopy());
        add("privileged copy failed", fails("other", kCopyFailed, kAuthorize).elevated("127"));
        // unsquashfs checks what it extracts; a mount meets the damage only when copying.
        add("damaged data keeps the old copy",
            fails("damaged", fuse ? kCopyFailed : kMountFailed, fuse ? kAuthorize : kMount)
                .elevated("exec", true)
                .withOldCopy());
        add("truncated image", fails("truncated", kMountFailed));
        add("not squashfs", fails("noise", kMountFailed));
        add("empty image", fails("empty", kMountFailed));
    }
    // Hostile install folders, through the direct copy and through the real shell command line.
    for (const char *folder : {"O'Brien", "say \"hi\"", "back\\slash", "$(touch pwned)", "`touch pwned`",
                               "two  spaces ", "new\nline", "Zoë 東京"}) {
        for (bool writable : {true, false}) {
            Row row = installs("other", "Other.app", writable ? kCopy : kAuthorize).elevated("exec", writable);
            row.fuse = m_fuse;
            row.folder = QString::fromUtf8(folder) + "/Apps";
            QTest::addRow("%s %s", writable ? "direct" : "privileged",
                          qPrintable(QString::fromUtf8(folder).replace('\n', "\\n")))
                << row;
        }
    }
}

void TestDMGInstaller::pipeline()
{
    QFETCH(Row, row);
    if (row.fuse && !m_fuse)
        QSKIP("squashfuse cannot mount here (no usable /dev/fuse): FUSE mounting is not tested");
    m_fakes.script(row.pkexec == "exec" ? "pkexec.exec" : "pkexec.rc", row.pkexec);
    const QString destDir = freshFolder() + '/' + row.folder;
    const QString bundle = row.app.isEmpty() ? "Quillmarsh.app" : row.app;
    if (row.oldCopy) {
        writeFile(destDir + '/' + bundle + "/old-marker", "old");
        QVERIFY(QDir().mkpath(destDir + '/' + bundle + "/locked"));
        QFile::setPermissions(destDir + '/' + bundle + "/locked", QFile::ReadOwner | QFile::ExeOwner);
    }

    DMGInstaller::Tools tools;
    SquashfsImageTool::Paths paths;
    if (!row.fuse)
        paths.fuseDevice = m_tmp.filePath("no-fuse-device");
    tools.imageTool = std::make_shared<SquashfsImageTool>(paths);
    tools.elevationTool = Fakes::tool("pkexec");
    tools.isWritable = [&row](const QString &) { return row.writable; };
    Outcome outcome;
    QVERIFY(run(DMGInstaller::create(m_tmp.filePath(row.image + ".img"), "Quillmarsh.app", destDir),
                tools, &outcome));

    QCOMPARE(outcome.stages, row.stages);
    QCOMPARE(outcome.error, row.error);
    QCOMPARE(outcome.success, row.error.isEmpty());
    QCOMPARE(outcome.app, row.app.isEmpty() ? QString() : destDir + '/' + row.app);
    if (outcome.success)
        QCOMPARE(describeTree(outcome.app), describeTree(m_tmp.filePath("trees/" + row.image + '/' + row.app)));
    if (row.oldCopy)
        QCOMPARE(QFile::exists(destDir + '/' + bundle + "/old-marker"), !outcome.success);
    for (const QStringList &call : m_fakes.calls("pkexec"))
        QCOMPARE(call.mid(0, 2), QStringList({"/bin/sh", "-c"}));
    QVERIFY(!QFile::exists("pwned"));
    // Nothing left behind: no hidden sibling, mount point, extraction or staging copy.
    QCOMPARE(entries(destDir), outcome.success || row.oldCopy ? QStringList{bundle} : QStringList{});
    QCOMPARE(entries(platform::privateDirectory()), QStringList());
}

void TestDMGInstaller::macProtocol_data()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QByteArray>("osascript"); // exit status, standard output, standard error
    QTest::addColumn<QByteArray>("xattrRc");
    QTest::addColumn<QString>("error");
    QTest::newRow("direct copy") << true << QByteArray("0||") << QByteArray("0") << QString();
    QTest::newRow("quarantine removal fails") << true << QByteArray("0||") << QByteArray("1") << QString();
    QTest::newRow("privileged copy") << false << QByteArray("0||") << QByteArray("0") << QString();
    QTest::newRow("-128 on stderr") << false << QByteArray("1||0:95: execution error: User canceled. (-128)")
                                    << QByteArray("0") << kCancelled;
    QTest::newRow("User canceled on stdout") << false << QByteArray("1|User canceled|") << QByteArray("0") << kCancelled;
    QTest::newRow("other failure") << false << QByteArray("1|ditto: No space left|") << QByteArray("0") << kCopyFailed;
}

void TestDMGInstaller::macProtocol()
{
    QFETCH(bool, writable);
    QFETCH(QByteArray, osascript);
    QFETCH(QByteArray, xattrRc);
    QFETCH(QString, error);
    const QList<QByteArray> reply = osascript.split('|');
    m_fakes.script("osascript.rc", reply[0]);
    m_fakes.script("osascript.out", reply[1]);
    m_fakes.script("osascript.err", reply[2]);
    m_fakes.script("xattr.rc", xattrRc);
    const QString volume = m_tmp.filePath("trees/full");
    m_fakes.script("hdiutil.1.out", plistWithMountPoint(volume).toUtf8());
    const QString dest = freshFolder() + "/Quillmarsh.app";

    DMGInstaller::Tools tools;
    tools.imageTool = std::make_shared<HdiutilImageTool>(Fakes::tool("hdiutil"));
    tools.elevation = ElevationProtocol::AppleScript;
    tools.elevationTool = Fakes::tool("osascript");
    tools.quarantineTool = Fakes::tool("xattr");
    tools.isWritable = [writable](const QString &) { return writable; };
    m_log.newText();
    Outcome outcome;
    QVERIFY(run(DMGInstaller::create("/Downloads/q.dmg", "Quillmarsh.app", dest.section('/', 0, -2)), tools, &outcome));

    QCOMPARE(outcome.stages, writable ? kCopy : kAuthorize);
    QCOMPARE(outcome.error, error);
    QCOMPARE(outcome.app, error.isEmpty() ? dest : QString());
    const QList<QStringList> hdiutil{{"attach", "/Downloads/q.dmg", "-nobrowse", "-noverify", "-readonly", "-plist"},
                                     {"detach", volume, "-quiet"}};
    QCOMPARE(m_fakes.calls("hdiutil"), hdiutil);
    QList<QStringList> script;
    if (!writable)
        script << QStringList{"-e", appleScriptCopyScript(volume + "/Quillmarsh.app", dest)};
    QCOMPARE(m_fakes.calls("osascript"), script);
    QList<QStringList> xattr;
    if (error.isEmpty())
        xattr << QStringList{"-dr", "com.apple.quarantine", dest};
    QCOMPARE(m_fakes.calls("xattr"), xattr);
    if (writable)
        QCOMPARE(describeTree(dest), describeTree(volume + "/Quillmarsh.app"));
    const QString log = m_log.newText();
    QCOMPARE(log.contains("INST: privileged copy failed, rc=" + reply[0] + " out=" + reply[1] + reply[2]),
             reply[0] != "0");
    QCOMPARE(log.contains("INST: install SUCCESS at " + dest), error.isEmpty());
}

// The caller drops the installer at once; the completion still arrives, before the detach has
// ended, and the worker lets go of the installer only after the detach.
void TestDMGInstaller::completionBeforeDetach()
{
    const QString gate = m_tmp.filePath("detach-gate");
    m_fakes.script("hdiutil.1.out", plistWithMountPoint("/nonexistent-volume").toUtf8());
    m_fakes.script("hdiutil.2.wait", gate.toUtf8());
    auto installer = DMGInstaller::create("/Downloads/q.dmg", "Quillmarsh.app", freshFolder());
    DMGInstaller::Tools tools;
    tools.imageTool = std::make_shared<HdiutilImageTool>(Fakes::tool("hdiutil"));
    installer->setTools(tools);
    std::weak_ptr<DMGInstaller> weak = installer;
    QString error;
    installer->onComplete = [&error](bool, const QString &, const QString &message) { error = message; };
    installer->start();
    installer.reset();

    QTRY_COMPARE_WITH_TIMEOUT(error, kNotFound, 20000);
    QVERIFY(!weak.expired());
    writeFile(gate, {});
    QVERIFY(DMGInstaller::waitForWorkers(20000));
    QTRY_VERIFY(weak.expired());
    QCOMPARE(m_fakes.calls("hdiutil").value(1), QStringList({"detach", "/nonexistent-volume", "-quiet"}));
}

// A file still open on the volume makes the plain unmount fail; the lazy one still takes the
// volume away and the mount point goes with it.
void TestDMGInstaller::detachBusyMount()
{
    if (!m_fuse)
        QSKIP("squashfuse cannot mount here (no usable /dev/fuse): FUSE mounting is not tested");
    SquashfsImageTool tool;
    const std::optional<QString> mountPoint = tool.attach(m_tmp.filePath("other.img"));
    QVERIFY(mountPoint);
    QFile busy(*mountPoint + "/README");
    QVERIFY(busy.open(QIODevice::ReadOnly));
    tool.detach(*mountPoint);
    QCOMPARE(busy.readAll(), QByteArray("readme\n"));
    busy.close();
    QVERIFY(!QFile::exists(*mountPoint));
    QCOMPARE(entries(platform::privateDirectory()), QStringList());
}

QTEST_GUILESS_MAIN(TestDMGInstaller)
#include "tst_dmginstaller.moc"
