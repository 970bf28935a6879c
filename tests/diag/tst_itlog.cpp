#include "diag/itlog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QRegularExpression kLine(
    QStringLiteral(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})  (\S.*)$)"));

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    if (text.endsWith(u'\n'))
        text.chop(1);
    return text.split(u'\n');
}

QStringList messages(const QStringList &lines)
{
    QStringList out;
    for (const QString &line : lines)
        out << kLine.match(line).captured(2);
    return out;
}

struct Run
{
    int exitCode = -1;
    QString logPath;
};

void startHelper(QProcess &p, const QString &stateHome, const QStringList &args,
                 const QStringList &env = {})
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
    for (const QString &kv : env)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    p.setProcessEnvironment(e);
    p.start(QStringLiteral(ITLOG_HELPER), args);
}

Run runHelper(const QString &stateHome, const QStringList &args, const QStringList &env = {})
{
    QProcess p;
    startHelper(p, stateHome, args, env);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed()};
}

// Makes the log file of stateHome a pipe and returns its read end (non-blocking), or -1.
int openLogPipe(const QString &stateHome)
{
    if (!QDir().mkpath(stateHome + "/Logs"))
        return -1;
    const QByteArray fifo = QFile::encodeName(stateHome + "/Logs/quillmarsh-installer.log");
    if (::mkfifo(fifo.constData(), 0600) != 0)
        return -1;
    return ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
}

} // namespace

class TestITLog : public QObject
{
    Q_OBJECT

private slots:
    void firstCallWritesBanner();
    void linesFromThreadsKeepTheirOrder();
    void appendsAcrossRuns();
    void drainsAtExit();
    void missingFolderLeavesProgramWorking();
    void exitWithBlockedWriter();
    void localTimeZone();
};

void TestITLog::firstCallWritesBanner()
{
    QVERIFY(ITLogFilePath().isEmpty());
    // The test's own state folder; a log left by an earlier run of this test goes.
    const QString expectedPath =
        qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/quillmarsh-installer.log";
    QFile::remove(expectedPath);
    // Digits and separators must not follow the user's locale.
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    ITLog("TEST: first %@ %ld", "call", 42L);
    ITLog("TEST: two\nlines");
    ITLogDrain(5000);
    QLocale::setDefault(QLocale::c());
    const QDateTime after = QDateTime::currentDateTime().addMSecs(1);

    const QString path = ITLogFilePath();
    QVERIFY(path.endsWith(QStringLiteral("/Logs/quillmarsh-installer.log")));
    QCOMPARE(path, expectedPath);
    const QStringList lines = readLines(path);
    QCOMPARE(lines.size(), 6);
    for (int i = 0; i < 5; ++i) {
        const QRegularExpressionMatch m = kLine.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        const QDateTime stamp =
            QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        QVERIFY(stamp >= before && stamp <= after);
    }
    QCOMPARE(messages(lines)[0], "======== Quillmarsh Setup started ========");
    QVERIFY(lines[1].contains(QStringLiteral("  Bundle: /")));
    QVERIFY(lines[2].contains(QStringLiteral("  OS: ")) &&
            lines[2].contains(QStringLiteral("Linux")));
    QCOMPARE(messages(lines)[3], "TEST: first call 42");
    QCOMPARE(messages(lines)[4], "TEST: two");
    QCOMPARE(lines[5], "lines"); // written unchanged, not indented
}

void TestITLog::linesFromThreadsKeepTheirOrder()
{
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                ITLog("TEST: thread %d line %d", t, i);
        });
    }
    for (std::thread &t : threads)
        t.join();
    ITLogDrain(10000);

    int next[kThreads] = {};
    const QRegularExpression re(QStringLiteral("^TEST: thread (\\d) line (\\d+)$"));
    for (const QString &msg : messages(readLines(ITLogFilePath()))) {
        const QRegularExpressionMatch m = re.match(msg);
        if (!m.hasMatch())
            continue;
        int &expected = next[m.captured(1).toInt()];
        QCOMPARE(m.captured(2).toInt(), expected);
        ++expected;
    }
    for (int t = 0; t < kThreads; ++t)
        QCOMPARE(next[t], kLines);
}

void TestITLog::appendsAcrossRuns()
{
    QTemporaryDir state;
    Run first = runHelper(state.path(), {"1", "first"});
    QCOMPARE(first.exitCode, 0);
    Run second = runHelper(state.path(), {"2", "second"});
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(second.logPath, first.logPath);

    const QStringList msgs = messages(readLines(first.logPath));
    QCOMPARE(msgs.size(), 4 + 5);
    QCOMPARE(msgs[3], "TEST: first 0 ");
    QCOMPARE(msgs[4], "======== Quillmarsh Setup started ========");
    QCOMPARE(msgs[8], "TEST: second 1 ");
}

void TestITLog::drainsAtExit()
{
    // The log is a pipe that is read only once the helper has queued all its lines and is
    // about to exit: every line still arrives.
    QTemporaryDir state;
    const int reader = openLogPipe(state.path());
    QVERIFY(reader >= 0);
    QProcess p;
    startHelper(p, state.path(), {"5000", "drained", "200", "10000"});
    QVERIFY(p.waitForReadyRead(30000));

    QByteArray text;
    char buf[65536];
    pollfd pfd {reader, POLLIN, 0};
    while (::poll(&pfd, 1, 30000) > 0) {
        const ssize_t n = ::read(reader, buf, sizeof buf);
        if (n <= 0)
            break; // EOF: the helper has exited
        text.append(buf, n);
    }
    ::close(reader);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(text.count('\n'), 3 + 5000);
    QVERIFY(text.contains("TEST: drained 4999 xxx"));
}

void TestITLog::missingFolderLeavesProgramWorking()
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Run run = runHelper(blocker.fileName() + "/state", {"5"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.logPath, blocker.fileName() + "/state/Logs/quillmarsh-installer.log");
    QVERIFY(!QFile::exists(run.logPath));
}

void TestITLog::exitWithBlockedWriter()
{
    // A pipe nobody reads: the writer blocks in write() once the pipe is full, and the
    // program must still end.
    QTemporaryDir state;
    const int reader = openLogPipe(state.path());
    QVERIFY(reader >= 0);
    const Run run = runHelper(state.path(), {"3000", "blocked", "200", "300"});
    ::close(reader);
    QCOMPARE(run.exitCode, 0);
}

void TestITLog::localTimeZone()
{
    // UTC+14: a stamp written in UTC would be 14 hours off.
    QTemporaryDir state;
    const Run run = runHelper(state.path(), {"1"}, {"TZ=<+14>-14"});
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = readLines(run.logPath);
    QVERIFY(!lines.isEmpty());
    QDateTime stamp = QDateTime::fromString(kLine.match(lines.last()).captured(1),
                                            QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    stamp.setTimeZone(QTimeZone(14 * 3600));
    QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTimeUtc())) < 120);
}

QTEST_GUILESS_MAIN(TestITLog)
#include "tst_itlog.moc"
