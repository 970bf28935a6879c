// Runs the real installer executable (offscreen) and reads the setup log it writes.
#include "platform/singleinstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startupLogLines();
    void secondInstanceLeavesSilently();
    void activationRequestReachesFirst();

private:
    QProcess *start();
    QString log() const;
    int countInLog(const QString &text) const { return int(log().count(text)); }
    void killAll();

    std::unique_ptr<QTemporaryDir> m_home;
    QList<QProcess *> m_procs;
};

void TestStartup::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
}

void TestStartup::cleanup()
{
    killAll();
    m_home.reset();
}

void TestStartup::killAll()
{
    for (QProcess *p : m_procs) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
        delete p;
    }
    m_procs.clear();
}

QProcess *TestStartup::start()
{
    auto *p = new QProcess;
    m_procs.append(p);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString home = m_home->path();
    env.insert("HOME", home);
    env.insert("XDG_STATE_HOME", home + "/state");
    env.insert("XDG_CACHE_HOME", home + "/cache");
    env.insert("XDG_RUNTIME_DIR", QString());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // Analytics posts must not leave the machine: every proxy is a closed local port.
    for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
        env.insert(name, "http://127.0.0.1:9");
    env.remove("no_proxy");
    env.remove("NO_PROXY");
    p->setProcessEnvironment(env);
    p->setProgram(QStringLiteral(QM_BINARY_DIR "/bin/quillmarsh-installer"));
    p->start();
    return p;
}

QString TestStartup::log() const
{
    QFile f(m_home->path() + "/state/Logs/quillmarsh-installer.log");
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void TestStartup::startupLogLines()
{
    QProcess *p = start();
    QVERIFY(p->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("UI: window visible="), 20000);

    const QString text = log();
    const QString folder = m_home->path() + "/Applications";
    const qsizetype ready = text.indexOf("UI: ready, language=English, default dir=" + folder + "\n");
    const qsizetype event = text.indexOf("setup_run");
    const QRegularExpression windowLine(
        R"(UI: window visible=1 key=[01] frame=\{\{-?\d+, -?\d+\}, \{640, 368\}\} subviews=16\n)");
    const QRegularExpressionMatch m = windowLine.match(text);
    QVERIFY2(ready > 0, qPrintable(text));
    QVERIFY2(m.hasMatch(), qPrintable(text));
    QVERIFY(ready < event && event < m.capturedStart());
    QCOMPARE(text.count("UI: ready"), 1);
    const qsizetype banner = text.indexOf("======== Quillmarsh Setup started");
    QVERIFY(banner >= 0 && banner < ready);
    QCOMPARE(p->state(), QProcess::Running);
}

void TestStartup::secondInstanceLeavesSilently()
{
    QProcess *first = start();
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("UI: window visible="), 20000);
    const QString before = log();

    QProcess *second = start();
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(second->readAllStandardOutput().isEmpty());
    QTest::qWait(200);
    QCOMPARE(log(), before);
    QCOMPARE(first->state(), QProcess::Running);

    // A crash leaves the socket behind; the next start is not blocked by it.
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(5000));
    QProcess *third = start();
    QTRY_COMPARE_WITH_TIMEOUT(countInLog("UI: window visible="), 2, 20000);
    QCOMPARE(third->state(), QProcess::Running);
}

// The same exchange in one process: the first listener is told to come to the front.
void TestStartup::activationRequestReachesFirst()
{
    const QString id = QStringLiteral("test.quillmarsh.instance");
    platform::SingleInstance first(id);
    int activations = 0;
    first.onActivate = [&] { ++activations; };
    QVERIFY(!first.anotherInstanceActivated());
    QVERIFY(QFileInfo(platform::SingleInstance::socketName(id)).fileName().contains(id + u'-'));

    platform::SingleInstance second(id);
    QVERIFY(second.anotherInstanceActivated());
    QTRY_COMPARE(activations, 1);
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
