// The menu entry of an installed bundle: every entry passes desktop-file-validate, and GLib's
// launcher, as a desktop would, starts the bundle's AppRun from it whatever the folder is called.
#include "install/desktopentry.h"

#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace testsupport;

class TestMenuEntry : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    const QString m_probe = m_root.filePath("probe");

private slots:
    // Only an absolute XDG_DATA_HOME counts: a relative one means the standard folder.
    void initTestCase()
    {
        qputenv("PROBE", QFile::encodeName(m_probe));
        ::umask(077); // the entry must be 0644 whatever the umask
        qputenv("XDG_DATA_HOME", "data");
        QCOMPARE(install::menuEntryPath(),
                 QDir::homePath() + "/.local/share/applications/quillmarsh.desktop");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath("data")));
    }

    // Each row installs into another folder, so each repoints the entry of the row before. A
    // desktop file not the bundle's own, too big, or with no program gives no entry, at once.
    void menuEntry_data()
    {
        // clang-format off
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("icon");    // the bundle's icon file, if any
        QTest::addColumn<QString>("desktop"); // makes the bundle's quillmarsh.desktop
        QTest::addColumn<bool>("launch");     // GLib looks for a program named with % before
                                              // undoubling it: such entries pass only the validator
        QTest::addColumn<QString>("refusal"); // why there is no entry; empty: there is one
        const QString good = "printf '[Desktop Entry]\\nType=Application\\nName=Quillmarsh\\n# c\\n"
                             "TryExec=q\\nExec=quillmarsh %%i %%F\\nIcon=quillmarsh\\nActions=n;\\n\\n"
                             "[Desktop Action n]\\nName=N\\nExec=q\\n' > quillmarsh.desktop";
        QTest::newRow("non-ASCII") << "Programme für Ünïcödé 日本" << "quillmarsh.png" << good << true << "";
        QTest::newRow("reserved characters") << " a\"b'c$d`e\\f\\s  $HOME$(id) " << "quillmarsh.svg" << good << true << "";
        QTest::newRow("percent") << "%g 100% %F %%" << "quillmarsh.svg" << good << false << "";
        QTest::newRow("none") << "bare1" << "" << "true" << false << "the bundle has no quillmarsh.desktop";
        QTest::newRow("link inside the bundle") << "bare2" << "" << "echo '[Desktop Entry]' > d; ln -s d quillmarsh.desktop" << false << "not a regular file";
        QTest::newRow("FIFO") << "bare3" << "" << "mkfifo quillmarsh.desktop" << false << "not a regular file";
        QTest::newRow("10 MB") << "bare4" << "" << "head -c 10000000 /dev/zero > quillmarsh.desktop" << false << "larger than 65536";
        QTest::newRow("no Exec") << "bare5" << "" << "printf '[Desktop Entry]\\nName=Q\\n[A]\\nExec=q\\n' > quillmarsh.desktop" << false << "has no Exec key";
        QTest::newRow("unterminated quote") << "bare6" << "" << "printf '[Desktop Entry]\\nExec=\"q\\n' > quillmarsh.desktop" << false << "Exec names no program";
        // clang-format on
    }
    void menuEntry()
    {
        QFETCH(QString, folder);
        QFETCH(QString, icon);
        QFETCH(QString, desktop);
        QFETCH(bool, launch);
        QFETCH(QString, refusal);
        const QString bundle = m_root.filePath(folder + "/Quillmarsh.app"),
                      path = install::menuEntryPath();
        // An AppDir whose AppRun records how it was started in $PROBE.
        QCOMPARE(shell(R"(mkdir -p "$1" && cd "$1" && touch "./$2" && eval "$3" &&
printf '#!/bin/sh\nprintf "%%s\\n" "$0" "$@" > "$PROBE"\n' > AppRun &&
chmod 755 AppRun && echo made)",
                       {bundle, icon, desktop}),
                 "made\n");
        QFile::remove(m_probe);
        // The entry of the row before is replaced whole, never rewritten where a reader may be,
        // and stays when there is nothing to replace it with.
        const QString earlier = m_root.filePath("earlier.desktop");
        shell(R"(rm -f "$2"; [ ! -e "$1" ] || ln "$1" "$2")", {path, earlier});
        const QString before = readText(earlier);
        QCOMPARE(install::writeMenuEntry(bundle), refusal.isEmpty());
        QCOMPARE(readText(earlier), before);
        const QString last = logText().section("INST: no menu entry: ", -1);
        QVERIFY2(last.section('\n', 0, 0).contains(refusal), qPrintable(last));
        QVERIFY(refusal.isEmpty() || readText(path) == before);
        if (!refusal.isEmpty())
            return;

        // 0644, and no error in the validator's eyes.
        QCOMPARE(
            shell(
                R"(stat -c %a "$1"; o=$(desktop-file-validate "$1" 2>&1) && ! echo "$o" | grep error || echo "$o")",
                {path}),
            "644\n");
        QCOMPARE(entries(m_root.filePath("data/applications")), "quillmarsh.desktop");
        // Comments and other groups are kept as they were, and TryExec is replaced.
        const QString text = readText(path);
        QVERIFY2(text.contains("\n# c\n") && text.count("TryExec=") == 1 &&
                     text.endsWith("\n\n[Desktop Action n]\nName=N\nExec=q\n"),
                 qPrintable(text));
        // Opened with no file, Exec runs the program with the Icon value (%i) alone.
        if (launch) {
            QCOMPARE(QProcess::execute("gio", {"launch", path}), 0);
            QTRY_COMPARE(readText(m_probe),
                         bundle + "/AppRun\n--icon\n" + bundle + '/' + icon + '\n');
        }
    }
};

QTEST_GUILESS_MAIN(TestMenuEntry)
#include "tst_menuentry.moc"
