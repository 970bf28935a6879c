#include "installtestutil.h"

#include "install/filetree.h"
#include "install/imagetool.h"
#include "install/privilegedcopy.h"
#include "install/toolrunner.h"

#include <QTemporaryDir>

using namespace install;

using MaybeText = std::optional<QString>;
Q_DECLARE_METATYPE(MaybeText)

class TestToolRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { m_fakes.reset(); }

    void runTool_data();
    void runTool();
    void launchFailure_data();
    void launchFailure();
    void attachPlist_data();
    void attachPlist();
    void hdiutilAttach_data();
    void hdiutilAttach();
    void hdiutilDetach_data();
    void hdiutilDetach();
    void appleScript_data();
    void appleScript();
    void failureMessage_data();
    void failureMessage();
    void firstApp_data();
    void firstApp();

private:
    QTemporaryDir m_tmp;
    Fakes m_fakes;
    LogWatch m_log;
};

void TestToolRunner::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    m_fakes.init(m_tmp.filePath("fakes"));
}

void TestToolRunner::runTool_data()
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

void TestToolRunner::runTool()
{
    QFETCH(QString, script);
    QFETCH(int, status);
    QFETCH(MaybeText, out);
    QFETCH(qsizetype, errSize);

    MaybeText output;
    MaybeText errors;
    QCOMPARE(install::runTool("/bin/sh", {"-c", script}, &output, &errors), status);
    QCOMPARE(output, out);
    QVERIFY(errors);
    QCOMPARE(errors->size(), errSize);
}

void TestToolRunner::launchFailure_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("missing") << m_tmp.filePath("no such tool");
    const QString plain = m_tmp.filePath("not-executable");
    writeFile(plain, "#!/bin/sh\n");
    QTest::newRow("not executable") << plain;
}

void TestToolRunner::launchFailure()
{
    QFETCH(QString, program);
    m_log.newText();
    MaybeText output = QStringLiteral("untouched");
    QCOMPARE(install::runTool(program, {"x"}, &output), -1);
    QCOMPARE(output, MaybeText("untouched"));
    QVERIFY(m_log.newText().contains("INST: failed to launch " + program + ": "));
}

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

void TestToolRunner::attachPlist_data()
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

void TestToolRunner::attachPlist()
{
    QFETCH(QString, text);
    QFETCH(MaybeText, mountPoint);
    QCOMPARE(mountPointFromAttachPlist(text), mountPoint);
}

void TestToolRunner::hdiutilAttach_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("rc");
    QTest::addColumn<MaybeText>("mountPoint");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("attached") << plist(entity("/Volumes/Q")).toUtf8() << QByteArray("0")
                              << MaybeText("/Volumes/Q") << QString();
    QTest::newRow("tool failed") << plist(entity("/Volumes/Q")).toUtf8() << QByteArray("1")
                                 << MaybeText() << "INST: hdiutil attach failed, rc=1";
    QTest::newRow("empty output") << QByteArray() << QByteArray("0") << MaybeText()
                                  << "INST: hdiutil attach failed, rc=0";
    QTest::newRow("invalid UTF-8") << QByteArray("<plist>\xff") << QByteArray("0") << MaybeText()
                                   << "INST: hdiutil attach failed, rc=0";
    QTest::newRow("no mount point") << plist(entity({})).toUtf8() << QByteArray("0") << MaybeText()
                                    << QString();
}

void TestToolRunner::hdiutilAttach()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, rc);
    QFETCH(MaybeText, mountPoint);
    QFETCH(QString, logLine);

    m_fakes.script("hdiutil.out", out);
    m_fakes.script("hdiutil.rc", rc);
    m_log.newText();
    HdiutilImageTool tool(Fakes::tool("hdiutil"));
    QCOMPARE(tool.attach("/tmp/a b.dmg"), mountPoint);
    const QList<QStringList> calls{
        {"attach", "/tmp/a b.dmg", "-nobrowse", "-noverify", "-readonly", "-plist"}};
    QCOMPARE(m_fakes.calls("hdiutil"), calls);
    const QString log = m_log.newText();
    QCOMPARE(log.contains("attach failed"), !logLine.isEmpty());
    QVERIFY(log.contains(logLine));
}

void TestToolRunner::hdiutilDetach_data()
{
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QByteArray>("firstRc");
    QTest::addColumn<QList<QStringList>>("calls");

    QTest::newRow("first try") << "/Volumes/Q" << QByteArray("0")
                               << QList<QStringList>{{"detach", "/Volumes/Q", "-quiet"}};
    QTest::newRow("forced") << "/Volumes/Q" << QByteArray("16")
                            << QList<QStringList>{{"detach", "/Volumes/Q", "-quiet"},
                                                  {"detach", "/Volumes/Q", "-force", "-quiet"}};
    QTest::newRow("nothing mounted") << QString() << QByteArray("0") << QList<QStringList>{};
}

void TestToolRunner::hdiutilDetach()
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
        << R"(/A "b"/Q.app)"
        << start + R"('/A \"b\"/Q.app' && /usr/bin/ditto '/V/Q.app' '/A \"b\"/Q.app')" + end;
    QTest::newRow("backslash")
        << R"(/A\b/Q.app)"
        << start + R"('/A\\b/Q.app' && /usr/bin/ditto '/V/Q.app' '/A\\b/Q.app')" + end;
}

void TestToolRunner::appleScript()
{
    QFETCH(QString, dest);
    QFETCH(QString, script);
    QCOMPARE(appleScriptCopyScript("/V/Q.app", dest), script);
}

void TestToolRunner::failureMessage_data()
{
    QTest::addColumn<ElevationProtocol>("protocol");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("cancelled");

    using P = ElevationProtocol;
    QTest::newRow("-128") << P::AppleScript << 1 << "0:1: execution error: (-128)\n" << true;
    QTest::newRow("User canceled") << P::AppleScript << 1 << "User canceled." << true;
    QTest::newRow("other osascript") << P::AppleScript << 1 << "ditto: No space left" << false;
    QTest::newRow("pkexec dismissed") << P::Pkexec << 126 << "" << true;
    QTest::newRow("pkexec not authorized") << P::Pkexec << 127 << "User canceled" << false;
    QTest::newRow("command failed") << P::Pkexec << 1 << "" << false;
}

void TestToolRunner::failureMessage()
{
    QFETCH(ElevationProtocol, protocol);
    QFETCH(int, status);
    QFETCH(QString, output);
    QFETCH(bool, cancelled);
    QCOMPARE(privilegedFailureMessage(protocol, status, output),
             QString::fromLatin1(cancelled ? kCancelledMessage : kCopyFailedMessage));
}

void TestToolRunner::firstApp_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("found");
    QTest::newRow("several") << QStringList{"b.app", "README", "a.app", "c.app", "z.app"} << true;
    QTest::newRow("case-sensitive") << QStringList{"Foo.App", "Bar.APP", "app", "x.app.zip"} << false;
    QTest::newRow("empty") << QStringList{} << false;
}

void TestToolRunner::firstApp()
{
    QFETCH(QStringList, names);
    QFETCH(bool, found);
    QTemporaryDir dir;
    for (const QString &name : names)
        QDir(dir.path()).mkdir(name);
    // The expected winner is the first match in the file system's own (unsorted) order.
    QString expected;
    QDirIterator it(dir.path(), QDir::AllEntries | QDir::NoDotAndDotDot);
    while (expected.isEmpty() && it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(".app"))
            expected = path;
    }
    QCOMPARE(firstAppInDirectory(dir.path()), found ? MaybeText(expected) : MaybeText());
    QCOMPARE(firstAppInDirectory(dir.filePath("missing")), MaybeText());
}

QTEST_GUILESS_MAIN(TestToolRunner)
#include "tst_toolrunner.moc"
