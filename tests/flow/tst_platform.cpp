// The CPU rule, and a clean-up that never deletes through a mount (FUSE ones: tst_flow).
#include "platform/cpu.h"
#include "platform/leftovers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void arm64Rule_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("arm64");
        QTest::newRow("aarch64") << "aarch64" << true;
        QTest::newRow("x86_64") << "x86_64" << false;
        QTest::newRow("armv7l") << "armv7l" << false;
    }
    void arm64Rule()
    {
        QFETCH(QString, machine);
        QFETCH(bool, arm64);
        QCOMPARE(platform::isArm64Machine(machine), arm64);
    }

    // A bind mount is not detached (only FUSE ones are) and keeps the device number.
    void clearFolderNeverDeletesThroughAMount()
    {
        QTemporaryDir tmp;
        const QString outside = tmp.filePath("precious"), point = tmp.filePath("private/bound");
        QVERIFY(QDir().mkpath(outside) && QDir().mkpath(point) &&
                QDir().mkpath(tmp.filePath("private/junk")));
        QFile(outside + "/keep.txt").open(QIODevice::WriteOnly);
        if (QProcess::execute("mount", {"--bind", outside, point}) != 0)
            QSKIP("bind mounts are not allowed here");
        const int removed = platform::clearFolder(tmp.filePath("private"));
        const bool kept = QFile::exists(outside + "/keep.txt");
        QProcess::execute("umount", {point});
        QVERIFY(kept);
        QCOMPARE(removed, 1); // the junk folder only
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
