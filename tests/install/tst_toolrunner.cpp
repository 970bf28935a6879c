#include "installtestutil.h"

#include "install/filetree.h"
#include "install/imagetool.h"
#include "install/privilegedcopy.h"

#include <QTemporaryDir>

using namespace install;
using MaybeText = std::optional<QString>;
Q_DECLARE_METATYPE(MaybeText)

// Defined below the class: moc does not follow raw string literals.
static QString plist(const QString &entities);
static QString entity(const QString &mountPoint);

class TestToolRunner : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    Fakes m_fakes;
    LogWatch m_log;

private slots:
    void initTestCase() { m_fakes.init(m_tmp.filePath("fakes")); }
    void init() { m_fakes.reset(); }

    void runTool_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<MaybeText>("out");
        QTest::addColumn<qsizetype>("errSize");
        QTest::newRow("exit status") << "echo hello; exit 3" << 3 << MaybeText("hello\n") << qsizetype(0);
        QTest::newRow("only standard error") << "echo oops >&2" << 0 << MaybeText("") << qsizetype(5);
        // Far more than a pipe holds, on both streams: neither may stall the child.
        QTest::newRow("chatty on both streams")
            << "head -c 3000000 /dev/zero | tr '\\0' e >&2; head -c 200000 /dev/zero | tr '\\0' o; echo"
            << 0 << MaybeText(QString(200000, u'o') + u'\n') << qsizetype(3000000);
        QTest::newRow("invalid UTF-8") << "printf 'ok\\377'" << 0 << MaybeText() << qsizetype(0);
        QTest::newRow("non-ASCII") << "printf 'Grüße'" << 0 << MaybeText("Grüße") << qsizetype(0);
        QTest::newRow("killed") << "kill -9 $$" << 128 + 9 << MaybeText("") << qsizetype(0);
    }
    void runTool()
    {
        QFETCH(QString, script);
        QFETCH(int, status);
        QFETCH(MaybeText, out);
        QFETCH(qsizetype, errSize);
        MaybeText output;
        MaybeText errors;
        QCOMPARE(install::runTool("/bin/sh", {"-c", script}, &output, &errors), status);
        QCOMPARE(output, out);
        QCOMPARE(errors.value_or("?").size(), errSize);
    }

    void launchFailure_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("missing") << m_tmp.filePath("no such tool");
        writeFile(m_tmp.filePath("not-executable"), "#!/bin/sh\n");
        QTest::newRow("not executable") << m_tmp.filePath("not-executable");
    }
    void launchFailure()
    {
        QFETCH(QString, program);
        m_log.newText();
        MaybeText output = QStringLiteral("untouched");
        QCOMPARE(install::runTool(program, {"x"}, &output), -1);
        QCOMPARE(output, MaybeText("untouched"));
        QVERIFY(m_log.newText().contains("INST: failed to launch " + program + ": "));
    }

    void attachPlist_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<MaybeText>("mountPoint");
        const QString a = "/Volumes/Quillmarsh";
        QTest::newRow("second entity") << plist(entity({}) + entity(a)) << MaybeText(a);
        QTest::newRow("empty passed over") << plist(entity("") + entity(a)) << MaybeText(a);
        QTest::newRow("first of two") << plist(entity(a) + entity("/Volumes/B")) << MaybeText(a);
        QTest::newRow("escaped text") << plist(entity("/Volumes/Q &amp; A")) << MaybeText("/Volumes/Q & A");
        QTest::newRow("not a string")
            << plist("<dict><key>mount-point</key><integer>7</integer></dict>" + entity(a)) << MaybeText(a);
        QTest::newRow("no mount point") << plist(entity({})) << MaybeText();
        QTest::newRow("no entities key") << "<plist><dict><key>x</key><array/></dict></plist>" << MaybeText();
        QTest::newRow("truncated") << plist(entity(a)).left(200) << MaybeText();
        QTest::newRow("not XML") << "bplist00\x01\x02" << MaybeText();
    }
    void attachPlist()
    {
        QFETCH(QString, text);
        QFETCH(MaybeText, mountPoint);
        QCOMPARE(mountPointFromAttachPlist(text), mountPoint);
    }

    void hdiutilAttach_data()
    {
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("rc");
        QTest::addColumn<MaybeText>("mountPoint");
        QTest::addColumn<QString>("logLine");
        const QByteArray listing = plist(entity("/Volumes/Q")).toUtf8();
        QTest::newRow("attached") << listing << QByteArray("0") << MaybeText("/Volumes/Q") << QString();
        QTest::newRow("tool failed") << listing << QByteArray("1") << MaybeText() << "rc=1";
        QTest::newRow("empty output") << QByteArray() << QByteArray("0") << MaybeText() << "rc=0";
        QTest::newRow("invalid UTF-8") << QByteArray("<plist>\xff") << QByteArray("0") << MaybeText() << "rc=0";
        QTest::newRow("no mount point") << plist(entity({})).toUtf8() << QByteArray("0") << MaybeText() << QString();
    }
    void hdiutilAttach()
    {
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, rc);
        QFETCH(MaybeText, mountPoint);
        QFETCH(QString, logLine);
        m_fakes.script("hdiutil.out", out);
        m_fakes.script("hdiutil.rc", rc);
        m_log.newText();
        QCOMPARE(HdiutilImageTool(Fakes::tool("hdiutil")).attach("/tmp/a b.dmg"), mountPoint);
        const QList<QStringList> calls{{"attach", "/tmp/a b.dmg", "-nobrowse", "-noverify", "-readonly", "-plist"}};
        QCOMPARE(m_fakes.calls("hdiutil"), calls);
        const QString log = m_log.newText();
        QCOMPARE(log.contains("INST: hdiutil attach failed, "), !logLine.isEmpty());
        QVERIFY(log.contains("INST: hdiutil attach failed, " + logLine + '\n') || logLine.isEmpty());
    }

    void hdiutilDetach_data()
    {
        QTest::addColumn<QString>("mountPoint");
        QTest::addColumn<QByteArray>("firstRc");
        QTest::addColumn<QList<QStringList>>("calls");
        const QStringList first{"detach", "/Volumes/Q", "-quiet"};
        QTest::newRow("first try") << "/Volumes/Q" << QByteArray("0") << QList<QStringList>{first};
        QTest::newRow("forced") << "/Volumes/Q" << QByteArray("16")
                                << QList<QStringList>{first, {"detach", "/Volumes/Q", "-force", "-quiet"}};
        QTest::newRow("nothing mounted") << QString() << QByteArray("0") << QList<QStringList>{};
    }
    void hdiutilDetach()
    {
        QFETCH(QString, mountPoint);
        QFETCH(QByteArray, firstRc);
        QFETCH(QList<QStringList>, calls);
        m_fakes.script("hdiutil.1.rc", firstRc);
        m_fakes.script("hdiutil.2.rc", "1");
        m_log.newText();
        HdiutilImageTool(Fakes::tool("hdiutil")).detach(mountPoint);
        QCOMPARE(m_fakes.calls("hdiutil"), calls);
        // One line for a detach, whatever the forced try gives; none without a mount point.
        const QString log = m_log.newText();
        QCOMPARE(log.count("INST:"), mountPoint.isEmpty() ? 0 : 1);
        QCOMPARE(log.contains("INST: detaching " + mountPoint), !mountPoint.isEmpty());
    }

    void appleScript_data();
    void appleScript()
    {
        QFETCH(QString, dest);
        QFETCH(QString, script);
        QCOMPARE(appleScriptCopyScript("/V/Q.app", dest), script);
    }

    // The first ".app" in the file system's own listing order wins; "App" is no match.
    void firstApp()
    {
        QTemporaryDir dir;
        for (const char *name : {"b.app", "README", "a.app", "Foo.App", "c.app", "x.app.zip"})
            QDir(dir.path()).mkdir(name);
        QDirIterator it(dir.path(), QDir::AllEntries | QDir::NoDotAndDotDot);
        QString expected;
        while (expected.isEmpty() && it.hasNext())
            expected = it.next().endsWith(".app") ? it.filePath() : QString();
        QCOMPARE(firstAppInDirectory(dir.path()), MaybeText(expected));
        for (const char *name : {"a.app", "b.app", "c.app"})
            QDir(dir.path()).rmdir(name);
        QCOMPARE(firstAppInDirectory(dir.path()), MaybeText());
        QCOMPARE(firstAppInDirectory(dir.filePath("missing")), MaybeText());
    }
};

static QString plist(const QString &entities)
{
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>system-entities</key><array>)" +
           entities + "</array></dict></plist>\n";
}

static QString entity(const QString &mountPoint)
{
    return "<dict><key>content-hint</key><string>Apple_HFS</string><key>potentially-mountable</key><true/>" +
           (mountPoint.isNull() ? QString() : "<key>mount-point</key><string>" + mountPoint + "</string>") +
           "</dict>";
}

void TestToolRunner::appleScript_data()
{
    QTest::addColumn<QString>("dest");
    QTest::addColumn<QString>("script");
    const QString start = R"(do shell script "/bin/rm -rf )";
    const QString end = R"(" with administrator privileges)";
    QTest::newRow("single quote")
        << "/Users/O'Brien/Q.app"
        << start + R"('/Users/O'\\''Brien/Q.app' && /usr/bin/ditto '/V/Q.app' '/Users/O'\\''Brien/Q.app')" + end;
    QTest::newRow("double quote")
        << R"(/A "b"/Q.app)" << start + R"('/A \"b\"/Q.app' && /usr/bin/ditto '/V/Q.app' '/A \"b\"/Q.app')" + end;
    QTest::newRow("backslash")
        << R"(/A\b/Q.app)" << start + R"('/A\\b/Q.app' && /usr/bin/ditto '/V/Q.app' '/A\\b/Q.app')" + end;
}

QTEST_GUILESS_MAIN(TestToolRunner)
#include "tst_toolrunner.moc"
