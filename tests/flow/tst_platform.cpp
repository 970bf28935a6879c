// The platform stand-ins the setup flow leans on: CPU rule and private-folder clean-up with
// real FUSE mounts.
#include "platform/cpu.h"
#include "platform/leftovers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Mounting needs the FUSE device and squashfuse; without them the image tool extracts instead.
bool fuseUsable()
{
    QFile device(QStringLiteral("/dev/fuse"));
    return device.open(QIODevice::ReadWrite) &&
           QFileInfo(QStringLiteral("/usr/bin/squashfuse")).isExecutable();
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private slots:
    void arm64Rule_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("arm64");
        QTest::newRow("aarch64") << "aarch64" << true;
        QTest::newRow("arm64") << "arm64" << true;
        QTest::newRow("x86_64") << "x86_64" << false;
        QTest::newRow("armv7l") << "armv7l" << false;
        QTest::newRow("empty") << "" << false;
    }
    void arm64Rule()
    {
        QFETCH(QString, machine);
        QFETCH(bool, arm64);
        QCOMPARE(platform::isArm64Machine(machine), arm64);
    }

    // A crashed run leaves a partial file, a staging tree and a live squashfuse mount behind.
    void clearFolderUnmountsAndEmpties()
    {
        if (!fuseUsable())
            QSKIP("no FUSE here");
        QTemporaryDir tmp;
        const QString src = tmp.filePath(QStringLiteral("src/Q.app"));
        QVERIFY(QDir().mkpath(src));
        writeFile(src + QStringLiteral("/AppRun"), "#!/bin/sh\n");
        const QString image = tmp.filePath(QStringLiteral("q.img"));
        QVERIFY(run(QStringLiteral("mksquashfs"), {tmp.filePath(QStringLiteral("src")), image,
                                                    QStringLiteral("-quiet"), QStringLiteral("-noappend")}));

        const QString priv = tmp.filePath(QStringLiteral("private dir"));
        const QString mount = priv + QStringLiteral("/mnt one");
        QVERIFY(QDir().mkpath(mount));
        QVERIFY(QDir().mkpath(priv + QStringLiteral("/staging/Q.app/usr")));
        writeFile(priv + QStringLiteral("/quillmarsh_setup.dmg.part"), "partial");
        QVERIFY(run(QStringLiteral("squashfuse"), {image, mount}));
        QCOMPARE(platform::fuseMountsUnder(priv), QStringList{mount}); // the space comes back unescaped

        QCOMPARE(platform::clearFolder(priv), 3);
        QVERIFY(platform::fuseMountsUnder(priv).isEmpty());
        QVERIFY(QDir(priv).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        QVERIFY(QFile::exists(image));
    }

    // Whatever is mounted there and cannot be detached is never deleted through.
    void clearFolderNeverDeletesThroughAMount()
    {
        QTemporaryDir tmp;
        const QString outside = tmp.filePath(QStringLiteral("precious"));
        QVERIFY(QDir().mkpath(outside));
        writeFile(outside + QStringLiteral("/keep.txt"), "keep");
        const QString priv = tmp.filePath(QStringLiteral("private"));
        const QString point = priv + QStringLiteral("/bound");
        QVERIFY(QDir().mkpath(point));
        if (!run(QStringLiteral("mount"), {QStringLiteral("--bind"), outside, point}))
            QSKIP("bind mounts are not allowed here");
        platform::clearFolder(priv);
        const bool kept = QFile::exists(outside + QStringLiteral("/keep.txt"));
        run(QStringLiteral("umount"), {point});
        QVERIFY(kept);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
