#include "install/dmginstaller.h"
#include "install/filetree.h"
#include "install/privilegedcopy.h"
#include "install/squashfsimagetool.h"
#include "install/toolrunner.h"
#include "platform/leftovers.h"
#include "platform/uniquefd.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>

using namespace install;
using namespace testsupport;

namespace {

const QString kMountFailed = "Could not mount the disk image.";
const QString kCancelled = QString::fromLatin1(kCancelledMessage);
const QString kCopyFailed = QString::fromLatin1(kCopyFailedMessage);
const QStringList kStages{"mount", "copy", "authorize"};

// The script alone in a mount namespace of its own.
QString ownMounts(const QString &script, const QStringList &args)
{
    return shell(R"(s=$1; shift; exec unshare -m --propagation private sh -c "$s" sh "$@")",
                 QStringList{script} + args);
}

// What grants more than its owner's rights: set-id, sticky, group or other write, an ACL, owner.
QString grantedTooMuch(const QString &root)
{
    return shell("cd \"$1\" && find . ! -type l \\( -perm /7022 -o ! -user \"$(id -u)\" \\) && "
                 "getfacl -R -s -p . 2>&1",
                 {root});
}

const QString kFakeTools = QM_BINARY_DIR "/bin/fakes/";

// Rows leave most members at their defaults; GCC 12 warns of that in designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
struct Row
{
    QString image; // one of those built by initTestCase
    QString app;   // bundle installed, empty on failure
    QString error;
    int stages = 0;       // how many of kStages are reported; 0: 2, or 3 for an unwritable folder
    bool writable = true; // whether the install folder takes new entries
    bool missing = false; // not writable: the folder is still to be made, its parent closed
    bool oldCopy = false; // an older bundle is installed already
    QString folder = "Apps";   // below a fresh test folder, not made beforehand
    std::optional<bool> fuse;  // squashfuse mount, else the unsquashfs fallback; none: as here
    bool rootExtractor = true; // root may read the image with the system's unsquashfs
    QString logLine;           // a line the setup log must hold
    QByteArray prompt;         // run while the prompt is open, with $IMG the image file
    QByteArray hook;           // run once the image is mounted, $IMG too
    // Replies "<tool>[.<call>].<out|err|rc>=text" of the fake tools, VOL the volume with its "&"
    // escaped. With hdiutil's the macOS tools run (a faked osascript copies nothing); else the
    // Linux tools, and pkexec without a reply runs root's command for real.
    QByteArrayList fakes;
};

QString g_hook; // the running pipeline row's
void onCheckpoint(const char *step)
{
    if (qstrcmp(step, "mounted") == 0)
        runTool("/bin/sh", {"-c", g_hook});
}

// With QM_REPLACE_CRASH='SOURCE|DEST|STEP|N' this program copies SOURCE to DEST as the installer
// does, and kills itself at the Nth checkpoint STEP ("aside": a swap without an atomic exchange).
bool replaceCrashChild()
{
    const QStringList a = qEnvironmentVariable("QM_REPLACE_CRASH").split('|');
    static QByteArray step = a.value(2).toUtf8();
    static int remaining = a.value(3).toInt();
    if (a.size() == 4) {
        setCheckpoint([](const char *at) {
            if (step == at && --remaining == 0)
                std::raise(SIGKILL);
        });
        setExchangeAvailable(step != "aside");
        replaceWithCopy(a[0], a[1]);
        std::_Exit(0); // never killed
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Row)

class TestInstall : public QObject
{
    Q_OBJECT

    const bool m_child = replaceCrashChild();
    // Where root may work: every folder above is root's and closed to others.
    QTemporaryDir m_tmp{"/run/qm-tst-install-XXXXXX"};
    // The fake tools' replies ("pkexec.rc", ...) and calls ("pkexec.1.args").
    const QString m_fakes = m_tmp.filePath("fakes");
    bool m_fuse = false;
    int m_runs = 0;

    QString freshFolder() { return m_tmp.filePath(QString("run%1").arg(++m_runs)); }

private slots:
    void initTestCase();
    void init() { QVERIFY(QDir(m_fakes).removeRecursively() && QDir().mkpath(m_fakes)); }

    void runner_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("deadline"); // ms; -1: none
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<int>("errSize");
        QTest::addColumn<QString>("logLine");
        // Far more than a pipe holds on both streams; then a program that cannot start, and a hung
        // one, stopped with what it wrote, even with a child that keeps the pipe open.
        QTest::newRow("chatty on both streams") << QStringList{"/bin/sh", "-c", "head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o; echo; exit 3"}
            << -1 << 3 << QString(200000, u'o') + u'\n' << 3000000 << "";
        const QString missing = m_tmp.filePath("no such tool");
        QTest::newRow("no such tool") << QStringList{missing} << -1 << -1 << "untouched" << 9 << "INST: failed to launch " + missing + ": ";
        QTest::newRow("past its deadline") << QStringList{"/bin/sh", "-c", "echo started; sleep 3 & exec sleep 30"} << 300 << 128 + 9
            << "started\n" << 0 << "INST: /bin/sh did not finish in time, stopped";
        // clang-format on
    }
    void runner()
    {
        QFETCH(QStringList, command);
        QFETCH(int, deadline);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(int, errSize);
        QFETCH(QString, logLine);
        std::optional<QString> output = QStringLiteral("untouched"), errors = output;
        QCOMPARE(runTool(command[0], command.mid(1), &output, &errors, QDeadlineTimer(deadline)),
                 status);
        QCOMPARE(output.value_or("?"), out);
        QCOMPARE(int(errors.value_or("?").size()), errSize);
        QVERIFY(logText().contains(logLine));
    }

    void pipeline_data()
    {
        QTest::addColumn<Row>("row");
        const auto add = [](const char *name, const Row &row) { QTest::newRow(name) << row; };
        const QString app = "Quillmarsh.app", archive = "root is handed an archive of the bundle";
        const QByteArray other = shellQuote(m_tmp.filePath("other.img")).toUtf8();
        // clang-format off
        add("no bundle", {.image = "none", .error = "The application was not found in the disk image.", .stages = 1});
        // The user's copy grants no mode the image asks for (root's: rootCommand).
        add("modes", {.image = "modes", .app = app});
        // A mount meets the damage when copying, and the old copy stays; unsquashfs when extracting.
        add("damaged data, mounted", {.image = "damaged", .error = kCopyFailed, .oldCopy = true, .fuse = true, .logLine = "direct copy failed"});
        add("damaged data, extracted", {.image = "damaged", .error = kMountFailed, .stages = 1, .oldCopy = true, .fuse = false});
        add("truncated", {.image = "truncated", .error = kMountFailed, .stages = 1, .fuse = true});
        // Whoever would copy, a bundle with a link out is refused first (each kind: rootCommand).
        add("link leaves", {.image = "sneaky", .error = kCopyFailed, .oldCopy = true, .logLine = "INST: refused to install Quillmarsh.app: sub/e is a link that leaves"});
        add("prompt dismissed", {.image = "full", .error = kCancelled, .writable = false, .oldCopy = true, .fakes = {"pkexec.rc=126"}});
        add("privileged copy failed", {.image = "other", .error = kCopyFailed, .writable = false, .fakes = {"pkexec.rc=127"}});
        add("root short of space", {.image = "other", .error = "no space: 5 needed, 4 free", .writable = false,
            .fakes = {"pkexec.rc=3", "pkexec.err=refused: not enough space in /x: 5 bytes needed, 4 available\n"}});
        // Root works only where no one else can change a folder from / on, by the folder reached.
        const char *noRoot = "INST: no administrator copy into";
        add("folder of another user", {.image = "full", .error = kCopyFailed, .stages = 2, .writable = false, .folder = "../foreign/Apps", .logLine = "foreign belongs to uid 12345"});
        add("group may write", {.image = "full", .error = kCopyFailed, .stages = 2, .writable = false, .folder = "../group/Apps", .logLine = "group may be written by others (mode 775)"});
        add("shared and sticky", {.image = "full", .error = kCopyFailed, .stages = 2, .writable = false, .folder = "../sticky/Apps", .logLine = "sticky may be written by others (mode 1777)"});
        add("below a file", {.image = "full", .error = kCopyFailed, .stages = 2, .writable = false, .folder = "../full.img/Apps", .logLine = noRoot});
        add("through a link", {.image = "full", .app = app, .writable = false, .folder = "../sticky/link/Apps"});
        // Root reads only the bytes the image had when the prompt opened.
        add("image replaced at the prompt", {.image = "full", .app = app, .writable = false, .prompt = "cp " + other + " \"$IMG.new\" && mv \"$IMG.new\" \"$IMG\""});
        add("image changed at the prompt", {.image = "full", .error = kCopyFailed, .writable = false, .oldCopy = true, .logLine = "refused: the image does not have the SHA-256", .prompt = "printf x | dd of=\"$IMG\" bs=1 seek=5000 conv=notrunc"});
        // Without the system's unsquashfs root is handed an archive of the bundle, made before the prompt.
        add("privileged copy, archive", {.image = "full", .app = app, .writable = false, .oldCopy = true, .rootExtractor = false, .logLine = archive});
        add("archive changed at the prompt", {.image = "full", .error = kCopyFailed, .writable = false, .oldCopy = true, .rootExtractor = false,
            .logLine = "refused: the archive does not have the SHA-256", .prompt = "printf x | dd of=/proc/$$/fd/0 bs=1 seek=5000 conv=notrunc status=none"});
        // A FIFO in the image's place once it is mounted; after 3 s a mark beside it, then a writer.
        add("image a FIFO once mounted", {.image = "full", .error = kCopyFailed, .stages = 2, .writable = false, .logLine = "INST: cannot read the image",
            .hook = "rm \"$IMG\" && mkfifo \"$IMG\" && (sleep 3; touch \"$IMG.late\"; timeout 5 sh -c ': >\"$0\"' \"$IMG\") >/dev/null 2>&1 &"});
        // A hostile install folder, through the real shell command line; root makes it. The
        // image has no Quillmarsh.app: its only bundle is found, not "Foo.App" or "x.app.zip".
        add("hostile folder, still to be made", {.image = "other", .app = "Other.app", .writable = false, .missing = true,
            .folder = "O'Brien say \"hi\" back\\slash $(touch pwned) `touch pwned` two  spaces new\nline Zoë 東京 @NAME@ @EXTRACT@ @DIR@/Apps"});
        const auto e = [](const QString &mountPoint) { // a null one leaves the key out
            return "<dict><key>content-hint</key><string>Apple_HFS</string>" + (mountPoint.isNull() ? "" : "<key>mount-point</key><string>" + mountPoint + "</string>") + "</dict>"; };
        const auto plist = [](const QString &entities) { // hdiutil attach's listing
            return QByteArray("hdiutil.1.out=") + R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict><key>system-entities</key><array>)" + entities.toUtf8() + "</array></dict></plist>\n"; };
        const QString failed = "INST: privileged copy failed, rc=1 out=", vol = e("VOL"), mac = R"(O'Brien "b"\c)";
        const QByteArray cancel = "0:95: execution error: User canceled. (-128)";
        // Neither a failed quarantine removal nor a failed detach spoils an install.
        add("mac: direct copy, forced detach, second entity", {.image = "full", .app = app, .folder = mac, .fakes = {plist(e({}) + vol), "xattr.rc=1", "hdiutil.2.rc=16", "hdiutil.3.rc=1"}});
        add("mac: privileged copy, empty one passed over", {.image = "full", .app = app, .writable = false, .folder = mac, .fakes = {plist(e("") + vol), "osascript.rc=0"}});
        add("mac: -128 on stderr, first of two", {.image = "full", .error = kCancelled, .writable = false, .folder = mac, .logLine = failed + cancel, .fakes = {plist(vol + e("/Volumes/B")), "osascript.rc=1", "osascript.err=" + cancel}});
        add("mac: User canceled on stdout, not a string passed over", {.image = "full", .error = kCancelled, .writable = false, .folder = mac, .logLine = failed + "User canceled",
            .fakes = {plist("<dict><key>mount-point</key><integer>7</integer></dict>" + vol), "osascript.rc=1", "osascript.out=User canceled"}});
        add("mac: other failure", {.image = "full", .error = kCopyFailed, .writable = false, .folder = mac, .logLine = failed + "ditto: No space left", .fakes = {plist(vol), "osascript.rc=1", "osascript.out=ditto: No space left"}});
        add("mac: attach failed", {.image = "full", .error = kMountFailed, .stages = 1, .folder = mac, .logLine = "INST: hdiutil attach failed, rc=1", .fakes = {plist(vol), "hdiutil.1.rc=1"}});
        add("mac: invalid UTF-8", {.image = "full", .error = kMountFailed, .stages = 1, .folder = mac, .logLine = "INST: hdiutil attach failed, rc=0", .fakes = {"hdiutil.1.out=<plist>\xff"}});
        add("mac: no mount point", {.image = "full", .error = kMountFailed, .stages = 1, .folder = mac, .fakes = {plist(e({}))}});
        // clang-format on
    }
    void pipeline()
    {
        QFETCH(Row, row);
        const bool mac = row.fakes.value(0).startsWith("hdiutil"), fuse = row.fuse.value_or(m_fuse);
        if (fuse && !m_fuse)
            QSKIP("squashfuse cannot mount here (no usable /dev/fuse): FUSE mounts are not tested");
        const QString runFolder = freshFolder(), destDir = runFolder + '/' + row.folder,
                      image = runFolder + "/image.img"; // the row's own: it may be changed
        const QString bundle = destDir + '/' + (row.app.isEmpty() ? "Quillmarsh.app" : row.app);
        QVERIFY(QDir().mkpath(runFolder) && QFile::copy(m_tmp.filePath(row.image + ".img"), image));
        const QString volume = m_tmp.filePath("v&1");
        for (QByteArray fake : row.fakes)
            writeFile(
                m_fakes + '/' + fake.left(fake.indexOf('=')),
                fake.mid(fake.indexOf('=') + 1).replace("VOL", volume.toHtmlEscaped().toUtf8()));
        if (row.oldCopy) // with a read-only folder inside
            shell(R"(mkdir -p "$1/locked" && echo old >"$1/old-marker" && chmod 500 "$1/locked")",
                  {bundle});
        // Closed to every write, root's too, until the privileged copy lifts it as root would.
        const QString locked = row.missing ? QFileInfo(destDir).path() : destDir;
        if (!row.writable && QDir().mkpath(locked))
            runTool("/usr/bin/chattr", {"+i", locked});
        const auto unlock = qScopeGuard([&] { runTool("/usr/bin/chattr", {"-i", locked}); });
        if (!row.fakes.join().contains("pkexec.rc="))
            writeFile(m_fakes + "/pkexec.exec", "");
        writeFile(m_fakes + "/pkexec.pre", "/usr/bin/chattr -i -- " + shellQuote(locked).toUtf8() +
                                               "; IMG=" + shellQuote(image).toUtf8() + "; " +
                                               row.prompt);
        g_hook = "IMG=" + shellQuote(image) + "; " + QString::fromUtf8(row.hook);
        setCheckpoint(row.hook.isEmpty() ? nullptr : &onCheckpoint);
        const auto noCheckpoint = qScopeGuard([] { setCheckpoint(nullptr); });
        DMGInstaller::Tools tools;
        tools.elevationTool = kFakeTools + (mac ? "osascript" : "pkexec");
        if (!row.rootExtractor)
            tools.rootExtractor = m_tmp.filePath("no-unsquashfs");
        if (mac) {
            tools.imageTool = std::make_shared<HdiutilImageTool>(kFakeTools + "hdiutil");
            tools.elevation = ElevationProtocol::AppleScript;
            tools.quarantineTool = kFakeTools + "xattr";
        } else if (!fuse) { // extracting, which copies every byte, has a limit past a mount's
            tools.imageTool = std::make_shared<SquashfsImageTool>(
                SquashfsImageTool::Paths{.unsquashfs = m_tmp.filePath("slow-unsquashfs"),
                                         .fuseDevice = m_tmp.filePath("no-fuse-device"),
                                         .attachLimitMs = 200});
        }
        // Stage words, then "success APP" or "failure ERROR".
        auto installer = DMGInstaller::create(image, "Quillmarsh.app", destDir);
        installer->setTools(tools);
        auto trace = std::make_shared<QStringList>();
        installer->onStatus = [trace](InstallStep stage) { *trace << installStepName(stage); };
        installer->onComplete = [trace](const InstallResult &r) {
            const QString space = QString("no space: %1 needed, %2 free");
            *trace << (r.status == InstallResult::Status::Installed ? "success " + r.app
                       : r.error.isEmpty()
                           ? "failure " + space.arg(r.bytesNeeded).arg(r.bytesAvailable)
                           : "failure " + r.error);
        };
        installer->start();
        const auto completed = [&] { return !trace->isEmpty() && trace->last().contains(' '); };
        static_cast<void>(QTest::qWaitFor(completed, 60000));
        installer.reset();
        const int stages = row.stages ? row.stages : row.writable ? 2 : 3;
        const QString outcome = row.error.isEmpty() ? "success " + bundle : "failure " + row.error;
        QCOMPARE(*trace, kStages.mid(0, stages) << outcome);
        const bool copied = row.error.isEmpty() && !(mac && stages == 3); // by a faked osascript
        if (copied && row.image != "modes")
            QCOMPARE(describeTree(bundle),
                     describeTree((mac ? volume : m_tmp.filePath(row.image)) + '/' + row.app));
        if (copied)
            QCOMPARE(grantedTooMuch(bundle), QString());
        if (row.oldCopy)
            QCOMPARE(QFile::exists(bundle + "/old-marker"), !row.error.isEmpty());
        if (mac) { // each character the shell or AppleScript would take for its own quoted
            QStringList calls{"hdiutil attach|" + image + "|-nobrowse|-noverify|-readonly|-plist"};
            if (stages > 1)
                calls << "hdiutil detach|" + volume + "|-quiet";
            if (row.fakes.contains("hdiutil.2.rc=16"))
                calls << "hdiutil detach|" + volume + "|-force|-quiet";
            const QString quoted = "'" + runFolder + R"(/O'\\''Brien \"b\"\\c/Quillmarsh.app')";
            if (stages == 3)
                calls << "osascript -e|do shell script \"/bin/rm -rf " + quoted +
                             " && /usr/bin/ditto '" + volume + "/Quillmarsh.app' " + quoted +
                             "\" with administrator privileges";
            if (row.error.isEmpty())
                calls << "xattr -dr|com.apple.quarantine|" + bundle;
            QCOMPARE(shell(R"sh(cd "$1" && for f in *.args; do
printf '%s %s\n' "${f%%.*}" "$(tr '\0' '|' <"$f")"; done)sh",
                           {m_fakes}),
                     calls.join("|\n") + "|\n");
        } else { // root is handed the folder reached, not the way there
            const QString dir = "\ndir=" + shellQuote(QDir(destDir).canonicalPath()) + '\n';
            QVERIFY(stages < 3 || readText(m_fakes + "/pkexec.1.args").contains(dir));
        }
        QVERIFY(!QFile::exists("pwned"));
        QVERIFY2(logText().contains(row.logLine), qPrintable(row.logLine));
        QCOMPARE(logText().contains("INST: install SUCCESS at " + bundle + '\n'),
                 row.error.isEmpty());
        // Nothing left behind: no hidden sibling, mount point, extraction, archive or staging copy.
        QCOMPARE(entries(destDir), copied || row.oldCopy ? bundle.section('/', -1) : QString());
        QCOMPARE(entries(runFolder).remove(row.folder.section('/', 0, 0)).trimmed(), "image.img");
    }

    // The 3.5 MB bundle into a small file system, by root without its override of modes: an old
    // copy frees nothing, a killed install's goes first, root's input counts before the prompt.
    void diskSpace_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("setup"); // "old"/"stale" copy, "root": 555, "ro", "many" files
        QTest::addColumn<QStringList>("outcome"); // the last line, then what the folder holds
        // clang-format off
        QTest::addRow("2 MB, two folders to make") << "2m" << "" << QStringList{"no space in MNT/Apps/new:"};
        QTest::addRow("6 MB, old copy") << "6m" << "old" << QStringList{"no space in MNT/Apps:", "Quillmarsh.app", "old kept"};
        QTest::addRow("6 MB, small files") << "6m" << "many" << QStringList{"no space in MNT/Apps:"};
        QTest::addRow("6 MB, killed install's copy") << "6m" << "stale" << QStringList{"installed ", "Quillmarsh.app"};
        QTest::addRow("6 MB, read-only: no use asking root") << "6m" << "ro" << QStringList{"failed: " + kCopyFailed};
        QTest::addRow("5 MB, administrator's copy") << "5000k" << "root" << QStringList{"no space in MNT/Apps:"};
        QTest::addRow("6 MB, root's killed copy") << "6m" << "root stale"
            << QStringList{"stage authorize", "failed: " + kCopyFailed, ".quillmarsh-stale"};
        // clang-format on
    }
    void diskSpace()
    {
        QFETCH(QString, size);
        QFETCH(QString, setup);
        QFETCH(QStringList, outcome);
        const QString mnt = freshFolder(); // the file system goes with its namespace
        const QString out = ownMounts(
            R"(mkdir "$2" && mount -t tmpfs -o "size=$1,mode=0755" qm-space "$2" || exit 9; d="$2/Apps"; b=$5/full/Quillmarsh.app i=full
case $4 in many) i=many;;
  old) mkdir "$d"; cp -a "$b" "$d/Quillmarsh.app" && echo old > "$d/Quillmarsh.app/old-marker";;
  stale) mkdir -p "$d/.quillmarsh-stale"; cp -a "$b" "$d/.quillmarsh-stale/new";;
  ro) mkdir "$d"; mount -o remount,ro "$2";;
  root*) mkdir -m 555 "$d"; [ "$4" = root ] || { cp -a "$b" "$d/.quillmarsh-stale"; chattr -R +i "$d"; };;
  *) d="$2/Apps/new";;
esac
setpriv --bounding-set=-dac_override,-dac_read_search "$3" "$5/$i.img" "$d" | grep -v -e '^stage mount' -e '^stage copy' | tail -n 2
ls -A "$d" 2>/dev/null; [ ! -e "$d/Quillmarsh.app/old-marker" ] || echo old kept)",
            {size, mnt, QM_BINARY_DIR "/bin/quillmarsh-install-image", setup, m_tmp.path()});
        const QStringList lines = QString(out).replace(mnt, "MNT").split('\n', Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty() && lines[0].startsWith(outcome[0]), qPrintable(out));
        QCOMPARE(lines.mid(1), outcome.mid(1));
    }

    // Root's command alone, its input on standard input, on a 7 MB file system (unless the row
    // says) beside an old copy and killed, linked and live staging folders: it installs only the
    // bytes its text names, a bundle that keeps to itself, within its space, root's and closed to
    // others; a refusal leaves the old copy alone, as the user's own check refuses it.
    void rootCommand_data()
    {
        // clang-format off
        QTest::addColumn<QString>("input");    // an image, or a tar archive of the bundle
        QTest::addColumn<QString>("digestOf"); // the file whose size and SHA-256 the command names
        QTest::addColumn<QString>("refusal");  // empty: installed
        // "held": a second install runs while this one waits for its input; "missing": into a
        // folder two levels still to be made, with nothing beside; else the file system's size.
        QTest::addColumn<QString>("how");
        QTest::newRow("other bytes") << "modes.img" << "full.img" << "refused: the image is not " << "";
        QTest::newRow("same size, other digest") << "damaged.img" << "full.img" << "does not have the SHA-256" << "";
        QTest::newRow("bundle is a link") << "linked.img" << "linked.img" << "Quillmarsh.app is not a folder" << "";
        QTest::newRow("link leaves") << "escape.img" << "escape.img" << "etc is a link that leaves the bundle" << "";
        QTest::newRow("absolute link") << "absolute.img" << "absolute.img" << "passwd is a link that leaves" << "";
        QTest::newRow("leaves through a link") << "sneaky.img" << "sneaky.img" << "sub/e is a link that leaves" << "";
        QTest::newRow("target ends in a line feed") << "linefeed.img" << "linefeed.img" << "sibling is a link that leaves the bundle" << "";
        QTest::newRow("link loop") << "loop.img" << "loop.img" << "is a link that loops" << "";
        QTest::newRow("control character") << "control.img" << "control.img" << "a\\033b has a control character" << "";
        QTest::newRow("DEL in a link's target") << "ctllink.img" << "ctllink.img" << "del has a control character" << "";
        QTest::newRow("FIFO") << "fifo.img" << "fifo.img" << "pipe is not a file, folder or link" << "";
        QTest::newRow("hard links") << "hardlink.img" << "hardlink.img" << "" << "";
        // A second install into the folder must leave the first one's staging folder alone.
        QTest::newRow("two at once") << "modes.img" << "modes.img" << "" << "held";
        // Another user's lock on the folder is no concern of root's; root's own is waited for 1 s.
        QTest::newRow("another user locks the folder") << "modes.img" << "modes.img" << "" << "shared";
        QTest::newRow("killed between the two renames of a swap") << "modes.img" << "full.img" << "refused: the image is not " << "aside";
        QTest::newRow("root's lock held") << "modes.img" << "modes.img" << "refused: another administrator install held" << "busy";
        QTest::newRow("folders to make") << "full.img" << "full.img" << "" << "missing";
        // An archive is listed before anything is written out, then goes through the same checks.
        const QString listed = "refused: the archive holds ";
        QTest::newRow("archive installed") << "modes.tar" << "modes.tar" << "" << "";
        QTest::newRow("archive: hard links") << "hardlink.tar" << "hardlink.tar" << "" << "";
        QTest::newRow("archive: hard link out") << "hardout.tar" << "hardout.tar" << listed + "a hard link to outside Quillmarsh.app" << "";
        QTest::newRow("archive: tar others may write") << "modes.tar" << "modes.tar" << "refused: no tar of the system's" << "tar:chmod 775";
        QTest::newRow("archive: another user's tar") << "modes.tar" << "modes.tar" << "refused: no tar of the system's" << "tar:chown 12345";
        QTest::newRow("archive: device") << "device.tar" << "device.tar" << listed + "what is not a file, folder or link: c" << "";
        QTest::newRow("archive: absolute link") << "absolute.tar" << "absolute.tar" << listed + "a link to an absolute path" << "";
        QTest::newRow("archive: name outside") << "dotdot.tar" << "dotdot.tar" << listed + "a name outside its folder: \"Quillmarsh.app/../README\"" << "";
        // A link up and out, then a file named through it: nothing may land outside.
        QTest::newRow("archive: written through a link") << "through.tar" << "through.tar" << "cannot read the archive" << "";
        // Bounded before root writes: no decompressor runs (24 MiB of zeros), no entry or
        // total is larger than the archive, and the space holds the archive and the bundle.
        QTest::newRow("archive: compressed") << "bomb.gz" << "bomb.gz" << "refused: the archive is not a plain tar archive" << "";
        QTest::newRow("archive: total") << "bigsparse.tar" << "bigsparse.tar" << "refused: the archive lists 67108864 bytes, more than its own" << "";
        QTest::newRow("archive: sparse") << "sparse.tar" << "sparse.tar" << "more than it holds: a sparse file" << "";
        // Before it is written the input counts too, with the bundle and 1 MB to spare.
        const qint64 needed = QFileInfo(m_tmp.filePath("full.tar")).size() + kRootSpaceMargin +
                              treeSize(m_tmp.filePath("full/Quillmarsh.app"));
        QTest::newRow("archive: no space") << "full.tar" << "full.tar" << QString(": %1 bytes needed").arg(needed) << "6m";
        // 1,000 small files and 1,000 folders, a page each: 8 MB, in a file system of 7 (9 with the archive).
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
        const QString text = ownMounts(R"(set -e; d=$1/dir; mkdir "$d" "$1/elsewhere"
mount -t tmpfs -o "size=$3,mode=0755" qm-root "$d"
l=/run/quillmarsh-installer; mkdir -p -m 700 $l; mount -t tmpfs -o mode=0700 qm-lock $l
[ "$5" != busy ] || { exec 4>>$l/lock; flock 4; }
case $5 in tar:*) cp /usr/bin/tar "$1/tar"; ${5#tar:} "$1/tar"; mount --bind "$1/tar" /usr/bin/tar;; esac
if [ "$5" = shared ]; then
  setpriv --reuid=12345 --regid=12345 --clear-groups sh -c 'flock -s 3; exec sleep 60' 3<"$d" &
  while flock -n "$d" true; do sleep 0.05; done
fi
if [ "$5" != missing ]; then
  cp -a "$6" "$d/Quillmarsh.app"; mkdir "$d/.quillmarsh-stale" "$d/.quillmarsh-live"
  [ "$5" = aside ] && mv "$d/Quillmarsh.app" "$d/.quillmarsh-stale/old" || cp -a "$7" "$d/.quillmarsh-stale/old"
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
                                        pkexecInstallCommand(install), how,
                                        m_tmp.filePath("other/Other.app"), full});
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
        QCOMPARE(entries(out), how == "missing" ? "Quillmarsh.app" : kept.join(' '));
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

    // Killed amid the copy and at each step of the swap, the folder holds the old bundle
    // until the swap and the new one from it on, never a mix; the next run leaves nothing else.
    void crash_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("n");
        QTest::addColumn<bool>("oldCopy");
        QTest::addColumn<QString>("found"); // what dest holds after the kill
        QTest::newRow("entry, old copy") << "entry" << 3 << true << "old";
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
        // A staging folder whose lock is held belongs to a live install and stays.
        QVERIFY(QDir().mkpath(folder + "/.quillmarsh-live") &&
                (!oldCopy || copyTree(bundles["old"], dest).isEmpty()));
        const platform::UniqueFd fd(
            ::open(QFile::encodeName(folder + "/.quillmarsh-live").constData(), O_RDONLY));
        QVERIFY(::flock(fd.get(), LOCK_EX) == 0);
        int status = 0;
        shell("QM_REPLACE_CRASH=\"$1\" exec \"$2\"",
              {QStringList{bundles["new"], dest, step, QString::number(n)}.join('|'),
               QCoreApplication::applicationFilePath()},
              &status);
        QCOMPARE(status, -1); // killed
        QCOMPARE(describeTree(dest), describeTree(bundles[found]));
        QCOMPARE(removeStaleStaging(folder, "Quillmarsh.app"), 1); // the killed run's alone
        QCOMPARE(describeTree(dest), describeTree(bundles[step == "aside" ? "old" : found]));
        QCOMPARE(replaceWithCopy(bundles["new"], dest), QString());
        QCOMPARE(entries(folder), ".quillmarsh-live Quillmarsh.app");
    }
};

// Here, not in the class: moc does not follow raw string literals.
void TestInstall::initTestCase()
{
    qputenv("QM_FAKE_DIR", QFile::encodeName(m_fakes)); // before any thread starts
    // The bundle, images without it, broken ones, careless and hostile bundles and archives (the
    // script's own names say which).
    QCOMPARE(runTool("/bin/sh", {"-c", R"(set -e; cd "$1"; a=full/Quillmarsh.app
mkdir -p $a/Contents/Resources/deep full/Other.app other/Other.app other/Foo.App other/x.app.zip none
printf '#!/bin/sh\necho quillmarsh\n' > $a/AppRun; chmod 755 $a/AppRun; seq 500000 > $a/Contents/data.bin
echo nested > $a/Contents/Resources/deep/note.txt; ln -s Contents/Resources $a/Resources
touch -d '2001-02-03 04:05:06' $a/Contents/Resources/deep/note.txt $a/Contents/Resources/deep; chmod 555 $a/Contents/Resources/deep
for b in full/Other.app other/Other.app; do echo x > $b/AppRun; chmod 744 $b/AppRun; done
m=modes/Quillmarsh.app; mkdir -p $m/shared; cp $a/AppRun $m/; chmod 4755 $m/AppRun
echo x > $m/open; chmod 777 $m/open; chmod 2777 $m/shared; chown 12345 $m/open
echo y > $m/acl; setfacl -m u:12345:rwx $m/acl
mkdir linked; ln -s /tmp linked/Quillmarsh.app
for t in escape absolute sneaky fifo linefeed loop control ctllink hardlink device through bomb sparse bigsparse; do
    mkdir -p $t/Quillmarsh.app/sub; cp $a/AppRun $t/Quillmarsh.app/
done
ln -s ../../etc escape/Quillmarsh.app/etc; ln -s /etc/passwd absolute/Quillmarsh.app/passwd
ln -s .. sneaky/Quillmarsh.app/sub/d; ln -s d/../x sneaky/Quillmarsh.app/sub/e; mkfifo fifo/Quillmarsh.app/pipe
nl=$(printf '\nx'); ln -s "../Quillmarsh.app${nl%x}" linefeed/Quillmarsh.app/sibling
echo x > "$a/Contents/two words"; mkdir -p many/Quillmarsh.app; (cd many/Quillmarsh.app && seq 1000 | split -l 1 -a 4 && seq 1000 | xargs mkdir)
ln -s loop2 loop/Quillmarsh.app/loop1; ln -s loop1 loop/Quillmarsh.app/loop2; cr=$(printf 'a\033b'); touch control/Quillmarsh.app/$cr; ln -s $(printf 'AppRun\177') ctllink/Quillmarsh.app/del
ln hardlink/Quillmarsh.app/AppRun hardlink/Quillmarsh.app/again
for t in full other none modes linked escape absolute sneaky fifo linefeed loop control ctllink hardlink many; do
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
tar -C bomb -cf - Quillmarsh.app | gzip -1 > bomb.gz
mkdir foreign probe target; cp -a full 'v&1'; chown 12345 foreign; mkdir -m 775 group; mkdir -m 1777 sticky; ln -s ../target sticky/link
squashfuse -o ro none.img probe && [ -e probe/README ] && fusermount3 -u probe && touch fuse-works || true)",
                                 "sh", m_tmp.path()}),
             0);
    m_fuse = QFile::exists(m_tmp.filePath("fuse-works"));
}

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
