// Children are started with posix_spawn (runTool), not QProcess: ThreadSanitizer's clone
// interceptor breaks on QProcess's vfork-style clone and then fails every later thread start.
#include "diag/itlog.h"
#include "install/dmginstaller.h"
#include "install/filetree.h"
#include "install/imagetool.h"
#include "install/privilegedcopy.h"
#include "install/squashfsimagetool.h"
#include "install/toolrunner.h"
#include "platform/leftovers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace install;
using MaybeText = std::optional<QString>;
Q_DECLARE_METATYPE(MaybeText)

namespace {

const QString kMountFailed = "Could not mount the disk image.";
const QString kCancelled = QString::fromLatin1(kCancelledMessage);
const QString kCopyFailed = QString::fromLatin1(kCopyFailedMessage);
const QStringList kStages{"mount", "copy", "authorize"};

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

// What the shell script prints, run with $1... set to args, alone in a mount namespace of its
// own when ownMounts; "?" when that is no UTF-8.
QString shell(const QString &script, const QStringList &args, bool ownMounts = false)
{
    MaybeText out;
    const QStringList sh{"/bin/sh", "-c", script, "sh"};
    runTool(ownMounts ? "/usr/bin/unshare" : sh[0],
            (ownMounts ? QStringList{"-m", "--propagation", "private"} + sh : sh.mid(1)) + args,
            &out, nullptr, QDeadlineTimer(60000));
    return out.value_or("?");
}

// Kind, mode, link count and target, whole-second time and content digest of every entry.
QString describeTree(const QString &root)
{
    return shell("cd \"$1\" && { find . -printf '%p %y %m %n %l\\n'; find . ! -type l -exec stat "
                 "-c '%n %Y' {} +; find . -type f -exec sha1sum {} +; } | LC_ALL=C sort",
                 {root});
}

// What in the tree grants more than its owner's rights: set-id or sticky bits, group or other
// write, an ACL; for root's copies, another owner.
QString grantedTooMuch(const QString &root)
{
    return shell("cd \"$1\" && find . ! -type l \\( -perm /7022 -o ! -user \"$(id -u)\" \\) && "
                 "getfacl -R -s -p . 2>&1",
                 {root});
}

// hdiutil's attach listing; a null mount point leaves the key out.
QString entity(const QString &mountPoint)
{
    return "<dict><key>content-hint</key><string>Apple_HFS</string><key>potentially-mountable</key>"
           "<true/>" +
           (mountPoint.isNull() ? ""
                                : "<key>mount-point</key><string>" + mountPoint + "</string>") +
           "</dict>";
}
QString plist(const QString &entities)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
           "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version="
           "\"1.0\"><dict><key>system-entities</key><array>" +
           entities + "</array></dict></plist>\n";
}

// The fake tools read their replies from files here ("<tool>.out", "<tool>.2.rc", ...) and
// record each call's arguments here.
const QString kFakeTools = QM_BINARY_DIR "/bin/fakes/";
const QString g_fakes =
    QDir::tempPath() + "/qm-fakes-" + QString::number(QCoreApplication::applicationPid());

// "<file>=<text>": the reply file and what it holds.
void fakeReply(const QByteArray &fileAndText)
{
    const qsizetype eq = fileAndText.indexOf('=');
    writeFile(g_fakes + u'/' + QString::fromUtf8(fileAndText.left(eq)), fileAndText.mid(eq + 1));
}

// Every call of the fake tools, tool by tool and in order: "tool arg|arg|...".
QStringList fakeCalls()
{
    QStringList calls;
    for (const QString &name : QDir(g_fakes).entryList({"*.args"}, QDir::Files, QDir::Name)) {
        QFile f(g_fakes + '/' + name); // every argument ends with a NUL
        f.open(QIODevice::ReadOnly);
        calls << name.section('.', 0, 0) + ' ' + f.readAll().chopped(1).replace('\0', '|');
    }
    return calls;
}

// Closes folder to every write, root's too, until the result goes: root may write anywhere
// else, and the installer must see a folder it cannot write into.
auto immutable(const QString &folder, bool on)
{
    if (on && QDir().mkpath(folder))
        runTool("/usr/bin/chattr", {"+i", folder});
    return qScopeGuard([=] {
        if (on)
            runTool("/usr/bin/chattr", {"-i", folder});
    });
}

// The whole setup log so far.
QString log()
{
    ITLogDrain(2000);
    QFile f(ITLogFilePath());
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Rows leave most members at their defaults; GCC 12 warns of that in designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct Row
{
    QString image; // one of those built by initTestCase
    QString app;   // bundle installed, empty on failure
    QString error;
    int stages = 0; // how many of kStages are reported; 0: 2, or 3 for an unwritable folder
    QByteArray pkexec = "exec"; // "exec": run the command for real; else pkexec's "status|stderr"
    bool writable = true;       // whether the install folder takes new entries
    bool missing = false;       // not writable: the folder is still to be made, its parent closed
    bool oldCopy = false;       // an older bundle is installed already
    QString folder = "Apps";    // below a fresh test folder, not made beforehand
    std::optional<bool> fuse;   // squashfuse mount, else the unsquashfs fallback; none: as here
    bool rootExtractor = true;  // root may read the image with the system's unsquashfs
    QString logLine;            // a line the setup log must hold
    QByteArray prompt;          // run while the prompt is open, with $IMG the image file
    QByteArray archived; // run once the archive for root is written, before it is read; $IMG too
};

// The running pipeline row's "archived" command, at the checkpoint of that name.
QString g_archived;
void onArchived(const char *step)
{
    if (qstrcmp(step, "archive") == 0)
        runTool("/bin/sh", {"-c", g_archived});
}

} // namespace

Q_DECLARE_METATYPE(Row)

class TestInstall : public QObject
{
    Q_OBJECT

    // Where root may work: every folder above is root's and closed to others.
    QTemporaryDir m_tmp{"/run/qm-tst-install-XXXXXX"};
    bool m_fuse = false;
    int m_runs = 0;

    QString freshFolder() { return m_tmp.filePath(QString("run%1").arg(++m_runs)); }

    // Stage words, then "success APP" or "failure ERROR". The detach is held at detachGate (if
    // given) until the completion has come; dropping the installer then waits for the detach.
    QStringList run(const QString &image, const QString &destDir, const DMGInstaller::Tools &tools,
                    const QString &detachGate = {})
    {
        auto installer = DMGInstaller::create(image, "Quillmarsh.app", destDir);
        installer->setTools(tools);
        auto trace = std::make_shared<QStringList>();
        installer->onStatus = [trace](InstallStep stage) { *trace << installStepName(stage); };
        installer->onComplete = [trace](const InstallResult &r) {
            const bool success = r.status == InstallResult::Status::Installed;
            const QString space = QString("no space: %1 needed, %2 free").arg(r.bytesNeeded);
            *trace << (success ? "success " + r.app
                               : "failure " +
                                     (r.error.isEmpty() ? space.arg(r.bytesAvailable) : r.error));
        };
        installer->start();
        const auto completed = [&] { return !trace->isEmpty() && trace->last().contains(' '); };
        static_cast<void>(QTest::qWaitFor(completed, 60000));
        if (!detachGate.isEmpty())
            writeFile(detachGate, {});
        installer.reset();
        return *trace;
    }

private slots:
    void initTestCase();
    void init() { QVERIFY(QDir(g_fakes).removeRecursively() && QDir().mkpath(g_fakes)); }
    void cleanupTestCase() { QDir(g_fakes).removeRecursively(); }

    // A script that is a path is started itself; any other goes to "/bin/sh -c".
    void runner_data()
    {
        // clang-format off
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("deadline"); // ms; -1: none
        QTest::addColumn<int>("status");
        QTest::addColumn<MaybeText>("out");
        QTest::addColumn<int>("errSize");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("exit status, both streams") << "echo hi; echo oops >&2; exit 3" << -1 << 3 << MaybeText("hi\n") << 5 << "";
        // Far more than a pipe holds, on both streams: neither may stall the child.
        QTest::newRow("chatty on both streams") << "head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o; echo"
            << -1 << 0 << MaybeText(QString(200000, u'o') + u'\n') << 3000000 << "";
        QTest::newRow("invalid UTF-8") << "printf 'ok\\377'" << -1 << 0 << MaybeText() << 0 << "";
        QTest::newRow("killed") << "kill -9 $$" << -1 << 128 + 9 << MaybeText("") << 0 << "";
        // A program that cannot start leaves both output places untouched.
        const QString missing = m_tmp.filePath("no such tool");
        QTest::newRow("no such tool") << missing << -1 << -1 << MaybeText("untouched") << 9 << "INST: failed to launch " + missing + ": ";
        // A hung tool is stopped with what it wrote, even one whose child keeps the pipe open.
        QTest::newRow("past its deadline") << "echo started; sleep 3 & exec sleep 30" << 300 << 128 + 9
            << MaybeText("started\n") << 0 << "INST: /bin/sh did not finish in time, stopped";
        // clang-format on
    }
    void runner()
    {
        QFETCH(QString, script);
        QFETCH(int, deadline);
        QFETCH(int, status);
        QFETCH(MaybeText, out);
        QFETCH(int, errSize);
        QFETCH(QString, logLine);
        MaybeText output = QStringLiteral("untouched"), errors = output;
        const bool path = script.startsWith('/');
        QCOMPARE(install::runTool(path ? script : "/bin/sh",
                                  path ? QStringList() : QStringList{"-c", script}, &output,
                                  &errors, QDeadlineTimer(deadline)),
                 status);
        QCOMPARE(output, out);
        QCOMPARE(int(errors.value_or("?").size()), errSize);
        QVERIFY(log().contains(logLine));
    }

    void attachPlist_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<MaybeText>("mountPoint");
        const QString a = "/Volumes/Quillmarsh";
        QTest::newRow("second entity") << plist(entity({}) + entity(a)) << MaybeText(a);
        QTest::newRow("empty passed over") << plist(entity("") + entity(a)) << MaybeText(a);
        QTest::newRow("first of two") << plist(entity(a) + entity("/Volumes/B")) << MaybeText(a);
        QTest::newRow("escaped text") << plist(entity("/V/Q &amp; A")) << MaybeText("/V/Q & A");
        QTest::newRow("not a string") << plist("<dict><key>mount-point</key><integer>7</integer></dict>" + entity(a)) << MaybeText(a);
        QTest::newRow("no mount point") << plist(entity({})) << MaybeText();
        QTest::newRow("no entities key") << "<plist><dict><key>x</key><array/></dict></plist>" << MaybeText();
        QTest::newRow("not XML") << "bplist00\x01\x02" << MaybeText();
        // clang-format on
    }
    void attachPlist()
    {
        QFETCH(QString, text);
        QFETCH(MaybeText, mountPoint);
        QCOMPARE(mountPointFromAttachPlist(text), mountPoint);
    }

    void appleScript();

    // The first ".app" in the file system's own listing order wins; "App" is no match.
    void firstApp()
    {
        const QString dir = m_tmp.filePath("listing");
        shell("mkdir \"$1\" && cd \"$1\" && mkdir b.app README a.app Foo.App c.app x.app.zip",
              {dir});
        const QString first = shell("ls -U \"$1\" | grep -m 1 '\\.app$'", {dir}).trimmed();
        QCOMPARE(firstAppInDirectory(dir), MaybeText(dir + '/' + first));
        shell("rmdir \"$1\"/?.app", {dir});
        QCOMPARE(firstAppInDirectory(dir), MaybeText());
        QCOMPARE(firstAppInDirectory(dir + "/missing"), MaybeText());
    }

    void pipeline_data()
    {
        QTest::addColumn<Row>("row");
        const auto add = [](const char *name, const Row &row) { QTest::newRow(name) << row; };
        const QString app = "Quillmarsh.app", archive = "root is handed an archive of the bundle";
        const QByteArray other = shellQuote(m_tmp.filePath("other.img")).toUtf8(),
                         bomb = shellQuote(m_tmp.filePath("bomb.gz")).toUtf8();
        // clang-format off
        add("bundle by name, mounted", {.image = "full", .app = app, .fuse = true});
        add("bundle by name, extracted", {.image = "full", .app = app, .fuse = false});
        add("no bundle", {.image = "none", .error = "The application was not found in the disk image.", .stages = 1});
        add("old copy replaced", {.image = "full", .app = app, .oldCopy = true});
        // What the image asks for in modes is not granted by the user's copy (root's: rootCommand).
        add("modes", {.image = "modes", .app = app});
        // A mount meets the damage only when copying, and the old copy stays; unsquashfs checks what it extracts.
        add("damaged data, mounted", {.image = "damaged", .error = kCopyFailed, .oldCopy = true, .fuse = true, .logLine = "direct copy failed"});
        add("damaged data, extracted", {.image = "damaged", .error = kMountFailed, .stages = 1, .oldCopy = true, .fuse = false});
        add("truncated", {.image = "truncated", .error = kMountFailed, .stages = 1, .fuse = true});
        // Whoever would copy, a bundle with a link out of it is refused first (each kind: rootCommand).
        add("link leaves", {.image = "sneaky", .error = kCopyFailed, .oldCopy = true, .logLine = "INST: refused to install Quillmarsh.app: sub/e is a link that leaves"});
        add("privileged copy", {.image = "full", .app = app, .writable = false, .oldCopy = true});
        add("prompt dismissed", {.image = "full", .error = kCancelled, .pkexec = "126", .writable = false, .oldCopy = true});
        add("privileged copy failed", {.image = "other", .error = kCopyFailed, .pkexec = "127", .writable = false});
        add("root short of space", {.image = "other", .error = "no space: 5 needed, 4 free",
            .pkexec = "3|refused: not enough space in /x: 5 bytes needed, 4 available\n", .writable = false});
        // Root works only where no one else can change a thing (each case: rootOnlyFolder); ../foreign is 12345's.
        add("folder of another user", {.image = "full", .error = kCopyFailed, .stages = 2, .writable = false, .folder = "../foreign/Apps", .logLine = "INST: no administrator copy into"});
        // Root reads only the bytes the image had when the prompt opened.
        add("image replaced at the prompt", {.image = "full", .app = app, .writable = false, .prompt = "cp " + other + " \"$IMG.new\" && mv \"$IMG.new\" \"$IMG\""});
        add("image changed at the prompt", {.image = "full", .error = kCopyFailed, .writable = false, .oldCopy = true, .logLine = "refused: the image does not have the SHA-256", .prompt = "printf x | dd of=\"$IMG\" bs=1 seek=5000 conv=notrunc"});
        // Without the system's unsquashfs root is handed an archive of the bundle, made before the prompt.
        add("privileged copy, archive", {.image = "full", .app = app, .writable = false, .oldCopy = true, .rootExtractor = false, .logLine = archive});
        add("archive changed at the prompt", {.image = "full", .error = kCopyFailed, .writable = false, .oldCopy = true, .rootExtractor = false,
            .logLine = "refused: the archive does not have the SHA-256", .prompt = "printf x | dd of=/proc/$$/fd/0 bs=1 seek=5000 conv=notrunc status=none"});
        // The user's own program stops the installer once its tar is done and puts a compressed
        // stream in the archive's place, which is then hashed: root decompresses nothing.
        add("archive replaced before it is hashed", {.image = "full", .error = kCopyFailed, .writable = false, .oldCopy = true, .rootExtractor = false,
            .logLine = "refused: the archive is not a plain tar archive",
            .archived = "kill -STOP $PPID; a=$(echo \"${IMG%/*}\"/archive-*/bundle.tar); cp " + bomb + " \"$a.new\" && mv \"$a.new\" \"$a\"; kill -CONT $PPID"});
        // A hostile install folder, through the real shell command line; root makes it.
        add("hostile folder, still to be made", {.image = "other", .app = "Other.app", .writable = false, .missing = true,
            .folder = "O'Brien say \"hi\" back\\slash $(touch pwned) `touch pwned` two  spaces new\nline Zoë 東京 @NAME@ @EXTRACT@ @DIR@/Apps"});
        // clang-format on
    }
    void pipeline()
    {
        QFETCH(Row, row);
        const bool fuse = row.fuse.value_or(m_fuse);
        if (fuse && !m_fuse)
            QSKIP("squashfuse cannot mount here (no usable /dev/fuse): FUSE mounts are not tested");
        const QString runFolder = freshFolder(), destDir = runFolder + '/' + row.folder,
                      image = runFolder + "/image.img"; // the row's own: it may be changed
        const QString bundle = destDir + '/' + (row.app.isEmpty() ? "Quillmarsh.app" : row.app);
        QVERIFY(QDir().mkpath(runFolder) && QFile::copy(m_tmp.filePath(row.image + ".img"), image));
        if (row.oldCopy) { // with a read-only folder inside
            writeFile(bundle + "/old-marker", "old");
            QVERIFY(QDir().mkpath(bundle + "/locked"));
            QFile::setPermissions(bundle + "/locked", QFile::ReadOwner | QFile::ExeOwner);
        }
        // Until the privileged copy, which lifts the lock as root would.
        const QString locked = row.missing ? QFileInfo(destDir).path() : destDir;
        const auto unlock = immutable(locked, !row.writable);
        const QList<QByteArray> reply = row.pkexec.split('|'); // exit status|standard error
        fakeReply(row.pkexec == "exec" ? "pkexec.exec=" : "pkexec.rc=" + reply[0]);
        fakeReply("pkexec.err=" + reply.value(1));
        fakeReply("pkexec.pre=/usr/bin/chattr -i -- " + shellQuote(locked).toUtf8() +
                  "; IMG=" + shellQuote(image).toUtf8() + "; " + row.prompt);
        g_archived = "IMG=" + shellQuote(image) + "; " + QString::fromUtf8(row.archived);
        setCheckpoint(row.archived.isEmpty() ? nullptr : &onArchived);
        const auto noCheckpoint = qScopeGuard([] { setCheckpoint(nullptr); });
        DMGInstaller::Tools tools;
        SquashfsImageTool::Paths paths;
        if (!fuse) { // extracting copies every byte: it has a limit of its own, past a mount's
            paths.fuseDevice = m_tmp.filePath("no-fuse-device");
            paths.unsquashfs = m_tmp.filePath("slow-unsquashfs");
            paths.attachLimitMs = 200;
        }
        tools.imageTool = std::make_shared<SquashfsImageTool>(paths);
        tools.elevationTool = kFakeTools + "pkexec";
        if (!row.rootExtractor)
            tools.rootExtractor = m_tmp.filePath("no-unsquashfs");

        const int stages = row.stages ? row.stages : row.writable ? 2 : 3;
        const QString outcome = row.error.isEmpty() ? "success " + bundle : "failure " + row.error;
        QCOMPARE(run(image, destDir, tools), kStages.mid(0, stages) << outcome);
        if (row.error.isEmpty() && row.image != "modes")
            QCOMPARE(describeTree(bundle), describeTree(m_tmp.filePath(row.image + '/' + row.app)));
        if (row.error.isEmpty())
            QCOMPARE(grantedTooMuch(bundle), QString());
        if (row.oldCopy)
            QCOMPARE(QFile::exists(bundle + "/old-marker"), !row.error.isEmpty());
        const QStringList calls = fakeCalls(); // pkexec once, for a shell command line
        QCOMPARE(calls.size(), stages == 3 ? 1 : 0);
        QVERIFY(calls.isEmpty() || calls[0].startsWith("pkexec /bin/sh|-c|"));
        QVERIFY(!QFile::exists("pwned"));
        QVERIFY2(log().contains(row.logLine), qPrintable(row.logLine));
        // Nothing left behind: no hidden sibling, mount point, extraction, archive or staging copy.
        const bool kept = row.error.isEmpty() || row.oldCopy;
        QCOMPARE(entries(destDir), kept ? QStringList{bundle.section('/', -1)} : QStringList{});
        QStringList beside = entries(runFolder);
        beside.removeOne(row.folder.section('/', 0, 0));
        QCOMPARE(beside, QStringList{"image.img"});
    }

    // The administrator's command on its own, run as root with the image on standard input on a
    // file system of its own (7 MB unless the row gives a size) beside an old copy, a killed
    // install's staging folder holding 3.5 MB, one that is a link and a live install's: it installs
    // only the bytes its text names, only a bundle that keeps to itself, within the space it has,
    // and what it installs is root's and closed to others. A refusal leaves the old copy and
    // nothing else. The user's own check, made before any copy, refuses the same bundles.
    void rootCommand_data()
    {
        // clang-format off
        QTest::addColumn<QString>("input");    // an image, or a tar archive of the bundle
        QTest::addColumn<QString>("digestOf"); // the file whose size and SHA-256 the command names
        QTest::addColumn<QString>("refusal");  // empty: installed
        // "held": a second install runs while this one waits for its input; "missing": into a
        // folder two levels still to be made, with nothing beside; else the file system's size.
        QTest::addColumn<QString>("how");
        QTest::newRow("installed") << "modes.img" << "modes.img" << "" << "";
        QTest::newRow("other bytes") << "modes.img" << "full.img" << "refused: the image is not " << "";
        QTest::newRow("same size, other digest") << "damaged.img" << "full.img" << "does not have the SHA-256" << "";
        QTest::newRow("bundle is a link") << "linked.img" << "linked.img" << "Quillmarsh.app is not a folder" << "";
        QTest::newRow("link leaves") << "escape.img" << "escape.img" << "etc is a link that leaves the bundle" << "";
        QTest::newRow("absolute link") << "absolute.img" << "absolute.img" << "passwd is a link that leaves" << "";
        QTest::newRow("leaves through a link") << "sneaky.img" << "sneaky.img" << "sub/e is a link that leaves" << "";
        QTest::newRow("target ends in a line feed") << "linefeed.img" << "linefeed.img" << "sibling is a link that leaves the bundle" << "";
        QTest::newRow("link loop") << "loop.img" << "loop.img" << "is a link that loops" << "";
        QTest::newRow("control character") << "control.img" << "control.img" << "a\\033b has a control character" << "";
        QTest::newRow("FIFO") << "fifo.img" << "fifo.img" << "pipe is not a file, folder or link" << "";
        QTest::newRow("hard links") << "hardlink.img" << "hardlink.img" << "" << "";
        // A second install into the folder must leave the first one's staging folder alone.
        QTest::newRow("two at once") << "modes.img" << "modes.img" << "" << "held";
        // Another user's lock on the install folder is no concern of root's; a root install
        // stopped midway holds root's own lock only for a bounded wait (here 1 s).
        QTest::newRow("another user locks the folder") << "modes.img" << "modes.img" << "" << "shared";
        QTest::newRow("root's lock held") << "modes.img" << "modes.img" << "refused: another administrator install held" << "busy";
        QTest::newRow("folders to make") << "full.img" << "full.img" << "" << "missing";
        // An archive is listed before anything is written out, then goes through the same checks.
        const QString listed = "refused: the archive holds ";
        QTest::newRow("archive installed") << "modes.tar" << "modes.tar" << "" << "";
        QTest::newRow("archive: hard links") << "hardlink.tar" << "hardlink.tar" << "" << "";
        QTest::newRow("archive: hard link out") << "hardout.tar" << "hardout.tar" << listed + "a hard link to outside Quillmarsh.app" << "";
        QTest::newRow("archive: device") << "device.tar" << "device.tar" << listed + "what is not a file, folder or link: c" << "";
        QTest::newRow("archive: absolute link") << "absolute.tar" << "absolute.tar" << listed + "a link to an absolute path" << "";
        QTest::newRow("archive: name outside") << "dotdot.tar" << "dotdot.tar" << listed + "a name outside its folder: \"Quillmarsh.app/../README\"" << "";
        // A link up and out, then a file named through it: nothing may land outside.
        QTest::newRow("archive: written through a link") << "through.tar" << "through.tar" << "cannot read the archive" << "";
        // What root writes is bounded before it writes: no decompressor runs (each stream holds
        // 24 MiB of zeros), no entry or total may be larger than the archive, and the space
        // must hold the archive and the bundle.
        for (const char *kind : {"gz", "zst", "xz"})
            QTest::addRow("archive: %s", kind) << QString("bomb.") + kind << QString("bomb.") + kind << "refused: the archive is not a plain tar archive" << "";
        QTest::newRow("archive: total") << "bigsparse.tar" << "bigsparse.tar" << "refused: the archive lists 67108864 bytes, more than its own" << "";
        QTest::newRow("archive: sparse") << "sparse.tar" << "sparse.tar" << "more than it holds: a sparse file" << "";
        // Before it is written the input counts too, with the bundle and 1 MB to spare.
        const qint64 needed = QFileInfo(m_tmp.filePath("full.tar")).size() + kRootSpaceMargin +
                              treeSize(m_tmp.filePath("full/Quillmarsh.app"));
        QTest::newRow("archive: no space") << "full.tar" << "full.tar" << QString(": %1 bytes needed").arg(needed) << "6m";
        // 2,000 files of a few bytes take a page each: 8 MB, in a file system of 7 (9 with the archive).
        QTest::newRow("small files") << "many.img" << "many.img" << "bytes needed, " << "";
        QTest::newRow("archive: small files") << "many.tar" << "many.tar" << "bytes needed, " << "9m";
        // clang-format on
    }
    void rootCommand()
    {
        QFETCH(QString, input);
        QFETCH(QString, digestOf);
        QFETCH(QString, refusal);
        QFETCH(QString, how);
        const QString run = freshFolder(),
                      dir = run + "/dir" + (how == "missing" ? "/new/Apps" : "");
        const auto cleanup = qScopeGuard([&] { platform::removeTree(run); });
        QFile digestSource(m_tmp.filePath(digestOf));
        QVERIFY(QDir().mkpath(run) && digestSource.open(QIODevice::ReadOnly));
        RootInstall install{
            dir, "Quillmarsh.app", digestSource.size(),
            QCryptographicHash::hash(digestSource.readAll(), QCryptographicHash::Sha256),
            input.endsWith(".img") ? RootInstall::Payload::SquashfsImage
                                   : RootInstall::Payload::TarArchive};
        const QString full = m_tmp.filePath("full/Quillmarsh.app");
        install.bundleSize = treeSize(full); // as the user saw it
        install.lockWaitSeconds = 1;
        // Standard error, then how it ended.
        const QString text =
            shell(R"(set -e; d=$1/dir; mkdir "$d" "$1/elsewhere"
mount -t tmpfs -o "size=$3,mode=0755" qm-root "$d"
l=/run/quillmarsh-installer; mkdir -p -m 700 $l; mount -t tmpfs -o mode=0700 qm-lock $l
[ "$5" != busy ] || { exec 4>>$l/lock; flock 4; }
if [ "$5" = shared ]; then
  setpriv --reuid=12345 --regid=12345 --clear-groups sh -c 'flock -s 3; exec sleep 60' 3<"$d" &
  while flock -n "$d" true; do sleep 0.05; done
fi
if [ "$5" != missing ]; then
  cp -a "$6" "$d/Quillmarsh.app"; mkdir "$d/.quillmarsh-stale" "$d/.quillmarsh-live"
  cp -a "$7" "$d/.quillmarsh-stale/old"
  ln -s "$1/elsewhere" "$d/.quillmarsh-link"; exec 5<"$d/.quillmarsh-live"; flock 5
fi
if [ "$5" = held ]; then
  mkfifo "$1/fifo"; sh -c "$4" < "$1/fifo" 5<&- 2>/dev/null & exec 6>"$1/fifo"
  for i in $(seq 200); do for s in "$d"/.quillmarsh-????????; do
    [ -d "$s" ] && ! flock -n "$s" true && break 2; done; sleep 0.05; done
fi
set +e; s=$(date +%s); timeout 20 sh -c "$4" < "$2" 4>&- 5<&- 6>&- 2>&1 >/dev/null; echo "status $?"
[ $(($(date +%s) - s)) -lt 10 ] || echo slow; [ "$5" != shared ] || kill $!
if [ "$5" = held ]; then cat "$2" >&6; exec 6>&-; wait $!; echo "first $?"; fi
[ "$5" != missing ] || stat -c '%n %a %U' "$d/new" "$d/new/Apps" | sed "s,^$d/,,"
cp -a "$d" "$1/out")",
                  {run, m_tmp.filePath(input), how.endsWith('m') ? how : "7m",
                   pkexecInstallCommand(install), how, m_tmp.filePath("other/Other.app"), full},
                  true);
        const int status = refusal.isEmpty()                  ? 0
                           : refusal.contains("bytes needed") ? kRootNoSpaceStatus
                                                              : 1;
        QVERIFY2(text.contains(refusal), qPrintable(text));
        QCOMPARE(text.mid(text.lastIndexOf("\nstatus ") + 1),
                 QString("status %1\n").arg(status) + (how == "held" ? "first 0\n" : "") +
                     (how == "missing" ? "new 755 root\nnew/Apps 755 root\n" : ""));
        const QString out = run + "/out" + (how == "missing" ? "/new/Apps" : ""),
                      dest = out + "/Quillmarsh.app";
        QStringList kept{".quillmarsh-link", ".quillmarsh-live", "Quillmarsh.app"};
        if (how == "busy") // nothing swept either
            kept.insert(2, ".quillmarsh-stale");
        QCOMPARE(entries(out), how == "missing" ? QStringList{"Quillmarsh.app"} : kept);
        const QString source = m_tmp.filePath(input.section('.', 0, 0)) + "/Quillmarsh.app";
        if (!refusal.isEmpty())
            QCOMPARE(describeTree(dest), describeTree(m_tmp.filePath("other/Other.app")));
        else
            QCOMPARE(grantedTooMuch(dest), QString());
        if (refusal.isEmpty() && !input.startsWith("modes"))
            QCOMPARE(describeTree(dest), describeTree(source));
        if (input.endsWith(".img") && input == digestOf && status != kRootNoSpaceStatus &&
            how != "busy") {
            const QString problem = bundleProblem(source);
            QVERIFY2(problem.isEmpty() == refusal.isEmpty() && problem.contains(refusal),
                     qPrintable(problem));
        }
    }

    // Root may work in a folder only when no one else can change any folder above it.
    void rootOnlyFolder_data()
    {
        // clang-format off
        QTest::addColumn<QString>("setup"); // run in a fresh folder holding a/b
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("problem");
        QTest::newRow("root's, still to be made") << "true" << "a/b/c/d" << "";
        QTest::newRow("another user's") << "chown 12345 a" << "a/b" << "a belongs to uid 12345, not to root";
        QTest::newRow("group may write") << "chmod 775 a/b" << "a/b" << "a/b may be written by others (mode 775)";
        QTest::newRow("shared and sticky") << "chmod 1777 a" << "a/b/new" << "a may be written by others (mode 1777)";
        QTest::newRow("a file") << "touch a/b/f" << "a/b/f/g" << "a/b/f is not a folder";
        // Only the folder reached counts, however it was named.
        QTest::newRow("through a link") << "mkdir -m 1777 s && ln -s ../a/b s/l" << "s/l" << "";
        // clang-format on
    }
    void rootOnlyFolder()
    {
        QFETCH(QString, setup);
        QFETCH(QString, folder);
        QFETCH(QString, problem);
        const QString base = freshFolder();
        QVERIFY(QDir().mkpath(base + "/a/b"));
        QCOMPARE(runTool("/bin/sh", {"-c", "cd \"$1\" && " + setup, "sh", base}), 0);
        QString resolved;
        QCOMPARE(rootOnlyFolderProblem(base + '/' + folder, &resolved).section(base + '/', -1),
                 problem);
        if (problem.isEmpty())
            QCOMPARE(resolved,
                     QDir(base).canonicalPath() + '/' + (folder == "s/l" ? "a/b" : folder));
    }

    // The macOS tools, scripted: "<tool>[.<call>].<out|err|rc>=text". A scripted osascript
    // means the install folder is not writable. Each detach waits until the completion is in.
    void macProtocol_data()
    {
        // clang-format off
        QTest::addColumn<QByteArrayList>("fakes");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("logLine");
        const QString failed = "privileged copy failed, rc=1 out=";
        const QByteArray cancel = "0:95: execution error: User canceled. (-128)";
        // Neither a failed quarantine removal nor a failed detach spoils an install.
        QTest::newRow("direct copy, forced detach") << QByteArrayList{"xattr.rc=1", "hdiutil.2.rc=16", "hdiutil.3.rc=1"} << "" << "";
        QTest::newRow("privileged copy") << QByteArrayList{"osascript.rc=0"} << "" << "";
        QTest::newRow("-128 on stderr") << QByteArrayList{"osascript.rc=1", "osascript.err=" + cancel} << kCancelled << failed + cancel;
        QTest::newRow("User canceled on stdout") << QByteArrayList{"osascript.rc=1", "osascript.out=User canceled"} << kCancelled << failed + "User canceled";
        QTest::newRow("other failure") << QByteArrayList{"osascript.rc=1", "osascript.out=ditto: No space left"} << kCopyFailed << failed + "ditto: No space left";
        QTest::newRow("attach failed") << QByteArrayList{"hdiutil.1.rc=1"} << kMountFailed << "hdiutil attach failed, rc=1";
        QTest::newRow("invalid UTF-8") << QByteArrayList{"hdiutil.1.out=<plist>\xff"} << kMountFailed << "hdiutil attach failed, rc=0";
        // clang-format on
    }
    void macProtocol()
    {
        QFETCH(QByteArrayList, fakes);
        QFETCH(QString, error);
        QFETCH(QString, logLine);
        const QString image = "/Downloads/Quillmarsh 1.dmg", volume = m_tmp.filePath("full");
        const QString dest = freshFolder() + "/Quillmarsh.app", gate = freshFolder() + "-gate";
        fakeReply("hdiutil.1.out=" + plist(entity(volume)).toUtf8());
        fakeReply("hdiutil.2.wait=" + gate.toUtf8());
        for (const QByteArray &fake : fakes) // after the defaults: they may replace them
            fakeReply(fake);
        const bool writable = !fakes.join().contains("osascript");
        const auto unlock = immutable(dest.section('/', 0, -2), !writable);
        DMGInstaller::Tools tools;
        tools.imageTool = std::make_shared<HdiutilImageTool>(kFakeTools + "hdiutil");
        tools.elevation = ElevationProtocol::AppleScript;
        tools.elevationTool = kFakeTools + "osascript";
        tools.quarantineTool = kFakeTools + "xattr";

        const QStringList stages = kStages.mid(0, error == kMountFailed ? 1 : writable ? 2 : 3);
        QCOMPARE(run(image, dest.section('/', 0, -2), tools, stages.size() > 1 ? gate : QString()),
                 QStringList(stages) << (error.isEmpty() ? "success " + dest : "failure " + error));
        QStringList calls{"hdiutil attach|" + image + "|-nobrowse|-noverify|-readonly|-plist"};
        if (stages.size() > 1)
            calls << "hdiutil detach|" + volume + "|-quiet";
        if (fakes.contains("hdiutil.2.rc=16"))
            calls << "hdiutil detach|" + volume + "|-force|-quiet";
        if (stages.size() == 3)
            calls << "osascript -e|" + appleScriptCopyScript(volume + "/Quillmarsh.app", dest);
        if (error.isEmpty())
            calls << "xattr -dr|com.apple.quarantine|" + dest;
        QCOMPARE(fakeCalls(), calls);
        if (stages.size() == 2)
            QCOMPARE(describeTree(dest), describeTree(volume + "/Quillmarsh.app"));
        QVERIFY(log().contains("INST: " + logLine));
        QCOMPARE(log().contains("INST: install SUCCESS at " + dest + '\n'), error.isEmpty());
    }

    // A file still open on the volume makes the plain unmount fail; the lazy one still takes
    // the volume away and the mount point goes with it.
    void detachBusyMount()
    {
        if (!m_fuse)
            QSKIP("squashfuse cannot mount here (no usable /dev/fuse): FUSE mounts are not tested");
        SquashfsImageTool tool;
        const MaybeText mountPoint = tool.attach(m_tmp.filePath("other.img"));
        QVERIFY(mountPoint);
        // A detach that leaves the mount would spoil every later run's nothing-left check.
        const auto unmount = qScopeGuard([&] {
            if (runTool("/usr/bin/fusermount3", {"-u", "-z", *mountPoint}) == 0)
                QDir().rmdir(*mountPoint);
        });
        QFile busy(*mountPoint + "/README");
        QVERIFY(busy.open(QIODevice::ReadOnly));
        tool.detach(*mountPoint);
        QCOMPARE(busy.readAll(), QByteArray("readme\n"));
        QVERIFY(!QFile::exists(*mountPoint));
    }

    // A small file system of its own in a private mount namespace; the bundle needs about
    // 3.5 MB. An old copy stays in place while the new one is staged, so it frees nothing; a
    // killed install's copy goes before the space is counted. Without either, the install
    // folder is two levels still to be made. For the administrator's copy root keeps the 1 MB
    // image beside the bundle, and the space is found short before the prompt.
    void diskSpace_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("setup");       // "old" copy, "stale" copy, "root": not writable
        QTest::addColumn<QStringList>("outcome"); // the last line, then what the folder holds
        const QString app = "Quillmarsh.app";
        // clang-format off
        QTest::addRow("2 MB, two folders to make") << "2m" << "" << QStringList{"no space in MNT/Apps/new:"};
        QTest::addRow("6 MB, old copy") << "6m" << "old" << QStringList{"no space in MNT/Apps:", app, "old kept"};
        QTest::addRow("6 MB, killed install's copy") << "6m" << "stale" << QStringList{"installed ", app};
        QTest::addRow("12 MB, old copy") << "12m" << "old" << QStringList{"installed ", app};
        QTest::addRow("5 MB, administrator's copy") << "5000k" << "root" << QStringList{"no space in MNT/Apps:"};
        // A killed administrator install's copy, which only root may remove: root is asked.
        QTest::addRow("6 MB, root's killed copy") << "6m" << "root stale"
            << QStringList{"stage authorize", "failed: " + kCopyFailed, ".quillmarsh-stale"};
        // clang-format on
    }
    void diskSpace()
    {
        QFETCH(QString, size);
        QFETCH(QString, setup);
        QFETCH(QStringList, outcome);
        const QString mnt = freshFolder();
        const auto cleanup = qScopeGuard([&] { platform::removeTree(mnt); });
        QVERIFY(QDir().mkpath(mnt));
        const QString out = shell(
            R"(mount -t tmpfs -o "size=$1,mode=0755" qm-space "$2" || exit 9; d="$2/Apps"; b=$5/full/Quillmarsh.app
case $4 in
  old) mkdir "$d"; cp -a "$b" "$d/Quillmarsh.app" && echo old > "$d/Quillmarsh.app/old-marker";;
  stale) mkdir -p "$d/.quillmarsh-stale"; cp -a "$b" "$d/.quillmarsh-stale/new";;
  root*) mkdir "$d"; [ "$4" = root ] || cp -a "$b" "$d/.quillmarsh-stale"; chattr -R +i "$d";;
  *) d="$2/Apps/new";;
esac
"$3" "$5/full.img" "$d" | grep -v -e '^stage mount' -e '^stage copy' | tail -n 2
ls -A "$d" 2>/dev/null; [ ! -e "$d/Quillmarsh.app/old-marker" ] || echo old kept)",
            {size, mnt, QM_BINARY_DIR "/bin/quillmarsh-install-image", setup, m_tmp.path()}, true);
        const QStringList lines = QString(out).replace(mnt, "MNT").split('\n', Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty() && lines[0].startsWith(outcome[0]), qPrintable(out));
        QCOMPARE(lines.mid(1), outcome.mid(1));
    }

    // The copy is killed at each copied entry and each step of the swap: the folder holds the
    // old bundle until the swap and the new one from it on, never a mix; the next run installs
    // and leaves nothing else behind.
    void crash_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("oldCopy");
        QTest::addColumn<QString>("found"); // what dest holds after the kill
        const int count =
            shell("find \"$1\" | wc -l", {m_tmp.filePath("full/Quillmarsh.app")}).toInt();
        for (bool old : {true, false}) {
            for (int n = 1; n <= count; ++n)
                QTest::addRow("entry %d%s", n, old ? ", old copy" : "")
                    << "entry" << n << old << (old ? "old" : "");
        }
        QTest::newRow("exchange") << "exchange" << 1 << true << "old";
        QTest::newRow("removal of the old copy") << "remove old" << 1 << true << "new";
        QTest::newRow("first install's rename") << "rename" << 1 << false << "";
        // Without an exchange the old copy is aside in the staging folder: the sweep puts it back.
        QTest::newRow("between two renames") << "aside" << 1 << true << "";
    }
    void crash()
    {
        QFETCH(QString, step);
        QFETCH(int, n);
        QFETCH(bool, oldCopy);
        QFETCH(QString, found);
        const QString folder = freshFolder(), dest = folder + "/Quillmarsh.app";
        const auto cleanup = qScopeGuard([&] { platform::removeTree(folder); });
        const QMap<QString, QString> bundles{{"old", m_tmp.filePath("other/Other.app")},
                                             {"new", m_tmp.filePath("full/Quillmarsh.app")},
                                             {"", dest + "-none"}};
        QVERIFY(QDir().mkpath(folder) && (!oldCopy || copyTree(bundles["old"], dest).isEmpty()));
        QCOMPARE(runTool(QM_BINARY_DIR "/bin/qm-replace-crash",
                         {bundles["new"], dest, step, QString::number(n)}),
                 128 + 9);
        QCOMPARE(describeTree(dest), describeTree(bundles[found]));
        QCOMPARE(entries(folder).size(), found.isEmpty() ? 1 : 2); // and one staging folder
        QCOMPARE(removeStaleStaging(folder, "Quillmarsh.app"), 1);
        QCOMPARE(describeTree(dest), describeTree(bundles[step == "aside" ? "old" : found]));

        // A staging folder whose lock is held belongs to a live install and stays.
        QVERIFY(QDir().mkpath(folder + "/.quillmarsh-live"));
        const int fd =
            ::open(QFile::encodeName(folder + "/.quillmarsh-live").constData(), O_RDONLY);
        const auto unlock = qScopeGuard([fd] { ::close(fd); });
        QVERIFY(::flock(fd, LOCK_EX) == 0);
        QCOMPARE(removeStaleStaging(folder, "Quillmarsh.app"), 0);
        QCOMPARE(replaceWithCopy(bundles["new"], dest), QString());
        QCOMPARE(entries(folder), QStringList({".quillmarsh-live", "Quillmarsh.app"}));
        QCOMPARE(describeTree(dest), describeTree(bundles["new"]));
    }
};

// Here, not in the class: moc does not follow raw string literals.
void TestInstall::initTestCase()
{
    qputenv("QM_FAKE_DIR", QFile::encodeName(g_fakes)); // before any thread starts
    // The bundle: an executable AppRun, nested folders with an old time, a relative link and a
    // file of a few MB; images without it, and broken ones. Careless or hostile bundles: modes
    // and an ACL granting others too much, a bundle that is a link, links leaving the bundle
    // (directly, absolutely, through another link, by a trailing line feed), a link loop, a
    // name with an escape character, a FIFO, hard links. Archives of the bundle, fair and hostile:
    // a device, hard links in and out, a name outside, a link up and out with a file named
    // through it, compressed streams of zeros, sparse files.
    QCOMPARE(runTool("/bin/sh", {"-c", R"(set -e; cd "$1"; a=full/Quillmarsh.app
mkdir -p $a/Contents/Resources/deep full/Other.app other/Other.app none
printf '#!/bin/sh\necho quillmarsh\n' > $a/AppRun; chmod 755 $a/AppRun; seq 500000 > $a/Contents/data.bin
echo nested > $a/Contents/Resources/deep/note.txt; ln -s Contents/Resources $a/Resources
touch -d '2001-02-03 04:05:06' $a/Contents/Resources/deep/note.txt $a/Contents/Resources/deep
for b in full/Other.app other/Other.app; do echo x > $b/AppRun; chmod 744 $b/AppRun; done
m=modes/Quillmarsh.app; mkdir -p $m/shared; cp $a/AppRun $m/; chmod 4755 $m/AppRun
echo x > $m/open; chmod 777 $m/open; chmod 2777 $m/shared; chown 12345 $m/open
echo y > $m/acl; setfacl -m u:12345:rwx $m/acl
mkdir linked; ln -s /tmp linked/Quillmarsh.app
for t in escape absolute sneaky fifo linefeed loop control hardlink device through bomb sparse bigsparse; do
    mkdir -p $t/Quillmarsh.app/sub; cp $a/AppRun $t/Quillmarsh.app/
done
ln -s ../../etc escape/Quillmarsh.app/etc; ln -s /etc/passwd absolute/Quillmarsh.app/passwd
ln -s .. sneaky/Quillmarsh.app/sub/d; ln -s d/../x sneaky/Quillmarsh.app/sub/e; mkfifo fifo/Quillmarsh.app/pipe
nl=$(printf '\nx'); ln -s "../Quillmarsh.app${nl%x}" linefeed/Quillmarsh.app/sibling
echo x > "$a/Contents/two words"; mkdir -p many/Quillmarsh.app; (cd many/Quillmarsh.app && seq 2000 | split -l 1 -a 4)
ln -s loop2 loop/Quillmarsh.app/loop1; ln -s loop1 loop/Quillmarsh.app/loop2; cr=$(printf 'a\033b'); touch control/Quillmarsh.app/$cr
ln hardlink/Quillmarsh.app/AppRun hardlink/Quillmarsh.app/again
for t in full other none modes linked escape absolute sneaky fifo linefeed loop control hardlink many; do
    echo readme > $t/README; mksquashfs $t $t.img -noappend -quiet -no-progress
done
head -c $(($(stat -c %s full.img) / 2)) full.img > truncated.img
cp full.img damaged.img; head -c 4000 /dev/zero | tr '\0' x | dd of=damaged.img bs=1 seek=1000 conv=notrunc
printf '#!/bin/sh\nsleep 1\nexec /usr/bin/unsquashfs "$@"\n' > slow-unsquashfs; chmod 755 slow-unsquashfs
mknod device/Quillmarsh.app/null c 1 3; ln -s ../../.. through/Quillmarsh.app/up
for t in full modes device hardlink absolute through many; do tar --acls --xattrs -C $t -cf $t.tar Quillmarsh.app; done
tar -C full -rf through.tar --transform 's,^README,Quillmarsh.app/up/pwned,' README
tar -C modes -cPf dotdot.tar Quillmarsh.app Quillmarsh.app/../README
tar -C hardlink -cPf hardout.tar --transform 's,.*,../../etc/passwd,RS' Quillmarsh.app
truncate -s 24M bomb/Quillmarsh.app/zeros; truncate -s 64M bigsparse/Quillmarsh.app/zeros
printf x | dd of=sparse/Quillmarsh.app/sparse bs=1 seek=8191 status=none
for t in sparse bigsparse; do tar -C $t -cSf $t.tar Quillmarsh.app; done
for z in "gzip -1 gz" "zstd -q -1 zst" "xz -0 -T1 xz"; do tar -C bomb -cf - Quillmarsh.app | ${z% *} > bomb.${z##* }; done
mkdir foreign probe; chown 12345 foreign
squashfuse -o ro none.img probe && [ -e probe/README ] && fusermount3 -u probe && touch fuse-works || true)",
                                 "sh", m_tmp.path()}),
             0);
    // FUSE counts as usable only when a mount really works here (device, permissions).
    m_fuse = QFile::exists(m_tmp.filePath("fuse-works"));
}

// Each character the shell or AppleScript would take for its own, in one folder name.
void TestInstall::appleScript()
{
    const QString dest = R"(/U/O'Brien "b"\c/Q.app)", quoted = R"('/U/O'\\''Brien \"b\"\\c/Q.app')";
    QCOMPARE(appleScriptCopyScript("/V/Q.app", dest),
             R"(do shell script "/bin/rm -rf )" + quoted + " && /usr/bin/ditto '/V/Q.app' " +
                 quoted + R"(" with administrator privileges)");
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
