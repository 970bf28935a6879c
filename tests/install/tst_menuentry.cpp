// The menu entry of an installed bundle: every entry passes desktop-file-validate, and its Exec
// line, expanded the way a desktop expands it, starts the bundle's AppRun from any folder name.
#include "install/desktopentry.h"

#include "diag/itlog.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QByteArray kBundleEntry = "[Desktop Entry]\n"
                                "Type=Application\n"
                                "Name=Quillmarsh\n"
                                "# the icon comes from the bundle's root\n"
                                "Exec=quillmarsh %F\n"
                                "Icon=quillmarsh\n"
                                "Terminal=false\n"
                                "Categories=Office;\n";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The value of a key in the [Desktop Entry] group, as written (still escaped).
QString rawValue(const QString &entry, const QString &key)
{
    const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(key),
                                  QRegularExpression::MultilineOption);
    return line.match(entry).captured(1);
}

QString unescapeString(const QString &value)
{
    static const QHash<QChar, QChar> escapes{
        {'s', ' '}, {'n', '\n'}, {'t', '\t'}, {'r', '\r'}, {'\\', '\\'}};
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i)
        out += value[i] == '\\' && i + 1 < value.size() ? escapes.value(value[++i], '?') : value[i];
    return out;
}

// What a desktop runs for an Exec value opened with no files: the string un-escaped, split into
// plain and wholly quoted words (where a backslash takes the next character), field codes dropped
// and %% turned into %.
QStringList expandExec(const QString &value)
{
    static const QRegularExpression word(QStringLiteral("\"((?:[^\"\\\\]|\\\\.)*)\"|([^ ]+)")),
        quotedChar(QStringLiteral("\\\\(.)")), fieldCode(QStringLiteral("^%[fFuUdDnNickvm]$"));
    QStringList argv;
    for (const QRegularExpressionMatch &m : word.globalMatch(unescapeString(value))) {
        QString w =
            m.capturedStart(1) >= 0 ? m.captured(1).replace(quotedChar, "\\1") : m.captured(2);
        if (!fieldCode.match(w).hasMatch())
            argv << w.replace(QLatin1String("%%"), QLatin1String("%"));
    }
    return argv;
}

} // namespace

class TestMenuEntry : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    int m_bundles = 0;
    QString m_probe;

    // An AppDir whose AppRun records how it was started in the probe file.
    bool makeBundle(const QString &bundle, bool withDesktopFile = true)
    {
        const QByteArray appRun =
            "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + QFile::encodeName(m_probe) + "'\n";
        return QDir().mkpath(bundle) && writeFile(bundle + "/AppRun", appRun) &&
               QFile::setPermissions(bundle + "/AppRun", QFile::ReadOwner | QFile::WriteOwner |
                                                             QFile::ExeOwner | QFile::ExeOther) &&
               writeFile(bundle + "/quillmarsh.svg", "<svg xmlns='http://www.w3.org/2000/svg'/>") &&
               (!withDesktopFile || writeFile(bundle + "/quillmarsh.desktop", kBundleEntry));
    }

    static QString readEntry()
    {
        QFile file(install::menuEntryPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    mode_t m_oldMask = 0;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_probe = m_root.filePath("probe");
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath("data")));
        QCOMPARE(install::menuEntryPath(), m_root.filePath("data/applications/quillmarsh.desktop"));
        m_oldMask = ::umask(077); // the entry must be 0644 whatever the umask
    }
    void cleanupTestCase() { ::umask(m_oldMask); }

    // Each row installs into another folder, so each repoints the entry of the row before.
    void entryStartsTheBundle_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << "Applications";
        QTest::newRow("spaces") << "My  Programs";
        QTest::newRow("dollar") << "$HOME$(id)";
        QTest::newRow("backslash") << "back\\slash\\s";
        QTest::newRow("percent") << "100% %F %%";
        QTest::newRow("non-ASCII") << "Programme für Ünïcödé 日本";
        QTest::newRow("all at once") << " a\"b'c$d`e\\f%g ";
    }
    void entryStartsTheBundle()
    {
        QFETCH(QString, folder);
        const QString bundle = m_root.filePath(folder + "/Quillmarsh.app");
        QVERIFY(makeBundle(bundle));
        QFile::remove(m_probe);
        QVERIFY(install::writeMenuEntry(bundle));

        QProcess validate;
        validate.start("desktop-file-validate", {install::menuEntryPath()});
        QVERIFY(validate.waitForFinished(10000));
        const QByteArray complaints = validate.readAll();
        QVERIFY2(validate.exitCode() == 0 && !complaints.contains("error"), complaints.constData());
        struct stat info = {};
        QCOMPARE(::stat(QFile::encodeName(install::menuEntryPath()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0644));
        QCOMPARE(QDir(m_root.filePath("data/applications"))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"quillmarsh.desktop"});

        const QString entry = readEntry();
        QCOMPARE(unescapeString(rawValue(entry, "TryExec")), bundle + "/AppRun");
        QCOMPARE(unescapeString(rawValue(entry, "Icon")), bundle + "/quillmarsh.svg");
        QVERIFY(entry.contains("\n# the icon comes from the bundle's root\n") &&
                entry.contains("\nTerminal=false\nCategories=Office;\n"));
        const QStringList argv = expandExec(rawValue(entry, "Exec"));
        QCOMPARE(argv, QStringList{bundle + "/AppRun"});
        QCOMPARE(QProcess::execute(argv[0], argv.mid(1)), 0);
        QFile probe(m_probe);
        QVERIFY(probe.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(probe.readAll()), bundle + "/AppRun\n");
    }

    // A desktop file the bundle does not really hold, or one too big, gives no entry, at once
    // and without reading more than the limit.
    void unusableDesktopFile_data()
    {
        // clang-format off
        QTest::addColumn<QString>("setup"); // run in the bundle
        QTest::addColumn<QString>("logLine");
        QTest::newRow("none") << "true" << "the bundle has no quillmarsh.desktop";
        QTest::newRow("link to /dev/zero") << "ln -s /dev/zero quillmarsh.desktop"
                                           << "not a regular file";
        QTest::newRow("link inside the bundle")
            << "echo '[Desktop Entry]' > d; ln -s d quillmarsh.desktop" << "not a regular file";
        QTest::newRow("FIFO") << "mkfifo quillmarsh.desktop" << "not a regular file";
        QTest::newRow("10 MB") << "head -c 10000000 /dev/zero > quillmarsh.desktop"
                               << "larger than 65536";
        // clang-format on
    }
    void unusableDesktopFile()
    {
        QFETCH(QString, setup);
        QFETCH(QString, logLine);
        const QString bundle = m_root.filePath(QString("bare%1/Quillmarsh.app").arg(++m_bundles));
        QVERIFY(makeBundle(bundle, false));
        QCOMPARE(QProcess::execute("/bin/sh", {"-c", "cd \"$1\" && " + setup, "sh", bundle}), 0);
        QFile::remove(install::menuEntryPath());
        QVERIFY(!install::writeMenuEntry(bundle));
        QVERIFY(!QFile::exists(install::menuEntryPath()));
        ITLogDrain(2000);
        QFile log(ITLogFilePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString last = QString::fromUtf8(log.readAll()).section("INST: no menu entry: ", -1);
        QVERIFY2(last.section('\n', 0, 0).contains(logLine), qPrintable(last));
    }

    // How the original's lines become the entry's (for a bundle without icon files).
    void entryText_data()
    {
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<QString>("expected"); // after the group line; empty: refused
        QTest::newRow("arguments kept, TryExec added")
            << QByteArray("[Desktop Entry]\nExec=quillmarsh --new-window %U\nIcon=quillmarsh\n")
            << "Exec=\"/opt/Q.app/AppRun\" --new-window %U\nTryExec=/opt/Q.app/AppRun\n"
               "Icon=quillmarsh\n";
        QTest::newRow("quoted program, TryExec replaced")
            << QByteArray("[Desktop Entry]\nTryExec=q\nExec=\"q m\" \"a\\\\\\\\b\" %f\n\n[Desktop "
                          "Action n]\nExec=q\n")
            << "TryExec=/opt/Q.app/AppRun\nExec=\"/opt/Q.app/AppRun\" \"a\\\\\\\\b\" %f\n\n"
               "[Desktop Action n]\nExec=q\n";
        QTest::newRow("no Exec") << QByteArray("[Desktop Entry]\nName=Q\n[A]\nExec=q\n") << "";
        QTest::newRow("unterminated quote") << QByteArray("[Desktop Entry]\nExec=\"q\n") << "";
    }
    void entryText()
    {
        QFETCH(QByteArray, original);
        QFETCH(QString, expected);
        QString error;
        const QString text = install::menuEntryText(original, "/opt/Q.app", &error);
        QCOMPARE(text, expected.isEmpty() ? QString() : "[Desktop Entry]\n" + expected);
        QCOMPARE(error.isEmpty(), !expected.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMenuEntry)
#include "tst_menuentry.moc"
