// Runs the real installer executable (offscreen), alone in a folder of its own, and reads the
// setup log it writes.
#include "testmain.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace testsupport;

class TestStartup : public QObject
{
    Q_OBJECT

    QTemporaryDir m_bin; // holds nothing but the executable: pictures and captions are built in

    std::unique_ptr<QProcess> start() // killed when dropped
    {
        auto p = std::make_unique<QProcess>();
        p->setWorkingDirectory(m_bin.path());
        p->start(m_bin.filePath("quillmarsh-installer"), {});
        return p;
    }
    QString log() const
    {
        return readText(qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/quillmarsh-installer.log");
    }

private slots:
    // The installer runs in this test's own home (testmain.h), on a desktop whose first language
    // it does not have: in English, not in the next one. Its analytics posts must not leave the
    // machine: every proxy is a closed port.
    void initTestCase()
    {
        qputenv("LANGUAGE", "ko:de");
        for (const char *name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
            qputenv(name, "http://127.0.0.1:9");
        for (const char *name : {"no_proxy", "NO_PROXY"})
            qunsetenv(name);
        QVERIFY(QFile::copy(QStringLiteral(QM_BINARY_DIR "/bin/quillmarsh-installer"),
                            m_bin.filePath("quillmarsh-installer")));
    }

    // The start-up lines in order; a second start leaves at once and silently; a crash leaves
    // the instance socket behind, which does not block the next start.
    void startupAndSingleInstance()
    {
        const auto first = start();
        // The analytics posts' outcomes are logged from their own thread, on a busy machine after
        // the window shows: the log is complete once both are in.
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("UI: window visible=") &&
                                     log().contains("GA: setup_run mp/collect") &&
                                     log().contains("GA: setup_run debug/mp/collect"),
                                 20000);
        const QString text = log();
        const QRegularExpression lines(
            "^[^\n]*  ======== Quillmarsh Setup started .*  UI: ready, language=English, default "
            "dir=" +
                QRegularExpression::escape(QDir::homePath() + "/Applications") +
                R"(\n.*setup_run.*  UI: window visible=1 key=[01] frame=\{\{-?\d+, -?\d+\}, \{640, 368\}\} subviews=16\n)",
            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(lines.match(text).hasMatch() && text.count("UI: ready") == 1, qPrintable(text));
        QVERIFY(text.contains("L10N: slides loaded for 9 languages (en fallback: 4 captions)\n"));
        QCOMPARE(QDir(m_bin.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"quillmarsh-installer"});

        const auto second = start();
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(std::tuple(second->exitStatus(), second->exitCode(), second->readAll()),
                 std::tuple(QProcess::NormalExit, 0, QByteArray()));
        QTest::qWait(200);
        QCOMPARE(log(), text);
        QCOMPARE(first->state(), QProcess::Running);

        first->kill(); // SIGKILL
        QVERIFY(first->waitForFinished(5000));
        const auto third = start();
        QTRY_COMPARE_WITH_TIMEOUT(log().count("UI: window visible="), 2, 20000);
        QCOMPARE(third->state(), QProcess::Running);
    }
};

QM_TEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
