// Whole installations as an unprivileged desktop user, in folders the user's or root's by their
// real owners and modes, with or without FUSE, tools missing. Each row runs envrun through setpriv
// in a mount namespace of its own (row.sh).
#include "envrow.h"
#include "testhttpserver.h"

#include <QTest>

#include <unistd.h>

using namespace testsupport;

const QString kApp = QStringLiteral("Quillmarsh.app");

class TestEnvironment : public QObject
{
    Q_OBJECT

    TestHttpServer m_server;
    EnvRow m_row;

    QString log() const { return readText(m_row.inRow(m_row.H() + kSetupLog)); }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to build the environments (user switch, mounts)");
        if (shell("unshare -m --propagation private setpriv --version >/dev/null && echo ok") !=
            "ok\n")
            QSKIP("no mount namespaces or no setpriv (util-linux) here");
        m_server.serveDirectory(QM_SAMPLE_IMAGE_DIR);
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << "installer's output:\n" + m_row.out("stderr").right(3000) +
                                        "\nsetup log:\n" + log();
        m_row.end();
    }

    void matrix_data()
    {
        QTest::addColumn<QString>("setup");   // row.sh commands, as root
        QTest::addColumn<QString>("folder");  // Install's folder
        QTest::addColumn<QString>("message"); // told to the user; empty: installed
        QTest::addColumn<QString>("logLine");
        // clang-format off
        const QString rootApps = "rootapps && oldcopy /mnt/Applications && chown 0:0 /mnt/Applications && ";
        QTest::newRow("new folders, FUSE mount") << "" << "$H/new apps/Applications" << ""
            << "INST: mounted at $H/.cache/quillmarsh-installer/mount";
        // The fake pkexec, set-user-id, runs the command as root.
        QTest::newRow("administrator copy into root's folder") << rootApps + "fake pkexec root" << "/mnt/Applications" << ""
            << "INST: /mnt/Applications is not writable (Permission denied), copying with privileges";
        QTest::newRow("no pkexec") << rootApps + "hide pkexec" << "/mnt/Applications"
            << "Could not copy the application to the install location." << "INST: no pkexec on this machine";
        // No FUSE; a link to the user's own write-only folder elsewhere: never elevated.
        QTest::newRow("extracted into a link to a 0300 folder elsewhere")
            << "nofuse && tmpfs $R/apps 8m && oldcopy $R/apps && chmod 0300 $R/apps && ln -s $R/apps $H/Applications"
            << "$H/Applications" << "" << "INST: FUSE cannot be used, extracting the image with unsquashfs";
        QTest::newRow("no FUSE, no unsquashfs") << "nofuse && hide unsquashfs" << "$H/Applications" << "Could not mount the disk image."
            << "INST: FUSE cannot be used and unsquashfs is not installed (Debian package squashfs-tools)";
        QTest::newRow("no image tool") << "hide squashfuse unsquashfs" << "$H/Applications" << "Could not mount the disk image."
            << "INST: neither squashfuse nor unsquashfs is installed (Debian packages squashfuse and squashfs-tools)";
        QTest::newRow("FIFOs in the private folder") << "mkdir -p $H/.cache && mkdir -m 700 $H/.cache/quillmarsh-installer && (cd $H/.cache/quillmarsh-installer && "
            "mkfifo quillmarsh_setup.dmg.resume quillmarsh_setup.dmg.sig quillmarsh_setup.dmg.part-0badf00d stray) && own $H/.cache"
            << "$H/Applications" << "" << "FLOW: removed 4 leftover item(s) from $H/.cache/quillmarsh-installer";
        // clang-format on
    }

    void matrix()
    {
        QFETCH(QString, setup);
        QFETCH(QString, folder);
        QFETCH(QString, message);
        QFETCH(QString, logLine);
        if (logLine.contains("mounted at") && !QFile::exists("/dev/fuse"))
            QSKIP("no /dev/fuse here");
        const QString H = m_row.H();
        folder.replace("$H", H);
        m_server.clearRequests();
        m_row.start(setup, {}, m_server.url(QString()), folder);
        QVERIFY2(m_row.wait(45000), "the row's set-up failed");

        // Ended cleanly, leaving no mount, process or file in /tmp; the image fetched once; the
        // outcome told; the bundle byte for byte, or an old copy untouched, nothing beside it or in
        // the private folder; elevated once, with a shell command line, only for root's folder.
        const bool installed = message.isEmpty(), elevated = setup.contains("fake pkexec"),
                   oldCopy = setup.contains("oldcopy");
        const QString fake = m_row.R() + "/fake/", bundle = (oldCopy ? "0.9\n" : ""),
                      dir = m_row.inRow(QFileInfo(folder).isSymLink()
                                            ? QFileInfo(folder).symLinkTarget()
                                            : folder);
        const QString got = installed ? describeTree(dir + '/' + kApp)
                                      : readText(dir + '/' + kApp + "/old-version");
        QCOMPARE(
            (QStringList{m_row.out("rc"), m_row.leftBehind(),
                         QString::number(m_server.requestCount()), m_row.out("summary"), got,
                         entries(dir), entries(H + "/.cache"), entries(fake),
                         readText(fake + "pkexec.1.args").section(QChar(0), 0, 1)}),
            (QStringList{"0\n", "", "1", (installed ? "installed" : "failed: " + message) + '\n',
                         installed ? describeTree(QM_SAMPLE_APP) : bundle,
                         installed || oldCopy ? kApp : "", "quillmarsh-installer",
                         elevated ? "pkexec.1.args pkexec.exec" : "",
                         elevated ? QString("/bin/sh") + QChar(0) + "-c" : ""}));
        QVERIFY2(log().contains(logLine.replace("$H", H)), qPrintable(logLine));
    }
};

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
