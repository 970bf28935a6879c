#include "diag/itlog.h"
#include "l10n/localization.h"
#include "l10n/slidecaptions.h"
#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QStringList kCodes {"en", "de", "fr", "es", "pt", "it", "zh-Hans", "zh-Hant", "ja"};

QList<UIStrings> bareRecords()
{
    QList<UIStrings> records;
    for (const QString &code : kCodes) {
        UIStrings s;
        s.code = code;
        records.append(s);
    }
    return records;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void languageIndexFor_data();
    void languageIndexFor();
    void detectFromEnvironment_data();
    void detectFromEnvironment();
    void table();
    void slideCaptions_data();
    void slideCaptions();
    void shippedCaptions();
    void tableUsesResourceFile();

private:
    QTemporaryDir m_resources;
};

void TestLocalization::initTestCase()
{
    // Start from an empty log in the test's own state folder.
    QFile::remove(qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/quillmarsh-installer.log");
    QVERIFY(writeFile(m_resources.filePath("slides.json"), R"({"en":["a","b"],"ja":["x"]})"));
    platform::setResourceDirectory(m_resources.path());
}

void TestLocalization::languageIndexFor_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<qint64>("index");
    const QList<QPair<const char *, qint64>> rows {
        {"", 0},          {"en-GB", 0},      {"de-AT", 1},      {"fr-CA", 2},
        {"es-419", 3},    {"pt-BR", 4},      {"it-IT", 5},      {"zh-Hans-CN", 6},
        {"zh", 6},        {"zh-Hant-TW", 7}, {"zh-TW", 7},      {"zh-HK", 7},
        {"zh-MO", 7},     {"zh-Hans-HK", 7}, {"ja-JP", 8},      {"ko-KR", 0},
        {"nl-NL", 0},     {"ru", 0},         {"DE-DE", 1},      {"ZH-HANT", 7},
    };
    for (const auto &[id, index] : rows)
        QTest::newRow(*id ? id : "empty") << QString::fromLatin1(id) << index;
}

void TestLocalization::languageIndexFor()
{
    QFETCH(QString, identifier);
    QFETCH(qint64, index);
    QCOMPARE(Localization::languageIndexFor(identifier), index);
}

void TestLocalization::detectFromEnvironment_data()
{
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<int>("index");
    QTest::newRow("C locale") << QStringList {"LANG=C.UTF-8"} << 0;
    QTest::newRow("LANG de_AT") << QStringList {"LANG=de_AT.UTF-8"} << 1;
    QTest::newRow("LANGUAGE zh_TW first") << QStringList {"LANG=C.UTF-8", "LANGUAGE=zh_TW:de"} << 7;
    QTest::newRow("LANG zh_HK") << QStringList {"LANG=zh_HK.UTF-8"} << 7;
    QTest::newRow("unsupported first") << QStringList {"LANG=C.UTF-8", "LANGUAGE=ko:de"} << 0;
}

void TestLocalization::detectFromEnvironment()
{
    QFETCH(QStringList, env);
    QFETCH(int, index);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        e.remove(QString::fromLatin1(name));
    for (const QString &kv : env)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    QProcess p;
    p.setProcessEnvironment(e);
    p.start(QStringLiteral(DETECT_HELPER));
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.readAllStandardOutput().trimmed().toInt(), index);
}

void TestLocalization::table()
{
    const QList<UIStrings> &all = Localization::all();
    QCOMPARE(&Localization::all(), &all); // built once
    QCOMPARE(all.size(), 9);
    const QStringList names {"English", "Deutsch", "Français", "Español", "Português",
                             "Italiano", "简体中文", "繁體中文", "日本語"};
    const QList<QString UIStrings::*> fields {
        &UIStrings::code, &UIStrings::langName, &UIStrings::readAgreed, &UIStrings::privacy,
        &UIStrings::andWord, &UIStrings::license, &UIStrings::installSetting,
        &UIStrings::selectLanguage, &UIStrings::installPath, &UIStrings::browse,
        &UIStrings::btnInstall, &UIStrings::btnRetry, &UIStrings::btnStartNow,
        &UIStrings::btnHide, &UIStrings::installingWait, &UIStrings::cancelling,
        &UIStrings::installInProgress, &UIStrings::chooseLocation, &UIStrings::offlineLink,
        &UIStrings::installFailed, &UIStrings::couldNotStart, &UIStrings::installerError,
        &UIStrings::exitConfirm, &UIStrings::selectFolder};
    for (qsizetype i = 0; i < all.size(); ++i) {
        QCOMPARE(all[i].code, kCodes[i]);
        QCOMPARE(all[i].langName, names[i]);
        for (qsizetype f = 0; f < fields.size(); ++f)
            QVERIFY2(!(all[i].*fields[f]).isEmpty(),
                     qPrintable(QString("%1 field %2").arg(i).arg(f + 1)));
        QVERIFY(all[i].installerError.contains(QStringLiteral("%ld")));
        QCOMPARE(all[i].exitConfirm.count(QStringLiteral("%@")), 1);
    }
    QCOMPARE(ITFormat(all[0].exitConfirm, "Quillmarsh"),
             "Are you sure you want to exit Quillmarsh Setup?");
    QCOMPARE(ITFormat(all[1].installerError, 42),
             "Das Installationsprogramm hat einen Fehler gemeldet (Code 42).");
    QCOMPARE(all[2].selectLanguage, "Choisir la langue :");
    QCOMPARE(all[0].couldNotStart, "Could not start the installer: ");
    QCOMPARE(all[2].couldNotStart, "Impossible de démarrer l'installateur : ");
    QCOMPARE(all[6].couldNotStart, "无法启动安装程序："); // full-width colon, no space
    QCOMPARE(all[8].readAgreed, "以下を読み、同意します：");
    QCOMPARE(all[3].btnInstall, all[4].btnInstall);
    QCOMPARE(all[6].cancelling, all[7].cancelling);
}

void TestLocalization::slideCaptions_data()
{
    QTest::addColumn<QString>("kind"); // absent, directory or file
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("invalid");
    QTest::addColumn<quint64>("languages");
    QTest::addColumn<QStringList>("own"); // codes that keep captions of their own
    const QByteArray en = R"("en":["one","two","three","four"])";
    QTest::newRow("absent") << "absent" << QByteArray() << true << quint64(0) << QStringList();
    QTest::newRow("unreadable") << "directory" << QByteArray() << true << quint64(0)
                                << QStringList();
    QTest::newRow("not JSON") << "file" << QByteArray("{\"en\": [\"a\",") << true << quint64(0)
                              << QStringList();
    QTest::newRow("empty file") << "file" << QByteArray() << true << quint64(0) << QStringList();
    QTest::newRow("top-level array") << "file" << QByteArray("[[\"a\"]]") << true << quint64(0)
                                     << QStringList();
    QTest::newRow("comment") << "file" << "// captions\n{" + en + "}" << true << quint64(0)
                             << QStringList();
    QTest::newRow("only en") << "file"
                             << "{" + en + "}" << false << quint64(1) << QStringList{"en"};
    QTest::newRow("de as string") << "file" << "{" + en + R"(,"de":"eins","fr":["un"]})" << false
                                  << quint64(3) << QStringList {"en", "fr"};
    QTest::newRow("lower-case zh-hans") << "file" << "{" + en + R"(,"zh-hans":["x"],"xx":[]})"
                                        << false << quint64(3) << QStringList {"en"};
    QTest::newRow("no en") << "file" << QByteArray(R"({"ja":["x"],"en":{"a":1}})") << false
                           << quint64(2) << QStringList {"ja"};
}

void TestLocalization::slideCaptions()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, invalid);
    QFETCH(quint64, languages);
    QFETCH(QStringList, own);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("slides.json"));
    if (kind == "file")
        QVERIFY(writeFile(path, content));
    else if (kind == "directory")
        QVERIFY(QDir().mkdir(path));
    else
        path.clear();

    QList<UIStrings> records = bareRecords();
    const SlideCaptionsResult r = loadSlideCaptions(path, records);
    const QJsonObject doc = QJsonDocument::fromJson(content).object();
    const QStringList fallback = own.contains("en") ? QStringList {"one", "two", "three", "four"}
                                                    : QStringList();
    QStringList expectedLog;
    if (invalid)
        expectedLog << "L10N: slides.json missing or invalid at " +
                           (path.isEmpty() ? "(not in bundle)" : path);
    expectedLog << QStringLiteral("L10N: slides loaded for %1 languages (en fallback: %2 captions)")
                       .arg(languages).arg(fallback.size());
    QCOMPARE(r.logLines, expectedLog);
    QCOMPARE(r.languages, languages);
    for (const UIStrings &rec : records) {
        const QStringList expected = own.contains(rec.code)
                                         ? doc.value(rec.code).toVariant().toStringList()
                                         : fallback;
        QCOMPARE(rec.slides, expected);
    }
}

void TestLocalization::shippedCaptions()
{
    QList<UIStrings> records = bareRecords();
    const SlideCaptionsResult r =
        loadSlideCaptions(QStringLiteral(QM_SOURCE_DIR "/resources/slides.json"), records);
    QCOMPARE(r.logLines,
             QStringList{"L10N: slides loaded for 9 languages (en fallback: 4 captions)"});
    for (const UIStrings &rec : records) {
        QCOMPARE(rec.slides.size(), 4);
        if (rec.code != "en")
            QVERIFY(rec.slides != records[0].slides);
        for (const QString &caption : rec.slides)
            QVERIFY(!caption.trimmed().isEmpty() && caption.size() <= 45);
    }
}

void TestLocalization::tableUsesResourceFile()
{
    const QList<UIStrings> &all = Localization::all();
    QCOMPARE(all[0].slides, QStringList({"a", "b"}));
    QCOMPARE(all[8].slides, QStringList({"x"}));
    QCOMPARE(all[3].slides, QStringList({"a", "b"}));
    ITLogDrain(2000);
    QFile log(ITLogFilePath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains(
        "  L10N: slides loaded for 2 languages (en fallback: 2 captions)\n"));
}

QTEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
