// The language table and the choice of a language; the slide captions file.
#include "diag/itformat.h"
#include "l10n/localization.h"
#include "l10n/slidecaptions.h"
#include "testmain.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace l10n;
using namespace testsupport;

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    // A language tag, or "env" and the preference list (LANGUAGE) a new process starts with, of
    // which only the first entry counts: Qt reads the system's languages once per process.
    void languageIndex_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<qint64>("index");
        // What selects each language of the table, in its order.
        const QList<QStringList> byIndex{
            {"", "frr", "env ko:de"},
            {"de-AT", "de_AT.UTF-8@euro"},
            {"fr-CA"},
            {"es-419"},
            {"pt-BR"},
            {"it-IT"},
            {"zh-Hans-CN"},
            {"zh-MO", "zh-Hans-HK", "ZH-HANT", "zh_TW.Big5", "env zh_TW:de"},
            {"ja-JP"}};
        for (qint64 i = 0; i < byIndex.size(); ++i) {
            for (const QString &id : byIndex[i])
                QTest::newRow(id.isEmpty() ? "empty" : qPrintable(id)) << id << i;
        }
    }
    void languageIndex()
    {
        QFETCH(QString, identifier);
        QFETCH(qint64, index);
        int detected = -1;
        if (identifier.startsWith("env "))
            shell("\"$1\" \"$2\"", {DETECT_HELPER, identifier.mid(4)}, &detected);
        QCOMPARE(identifier.startsWith("env ") ? detected
                                               : Localization::languageIndexFor(identifier),
                 index);
    }
    void table()
    {
        const QList<UIStrings> &all = Localization::all();
        const QStringList names{"en English",       "de Deutsch",       "fr Français",
                                "es Español",       "pt Português",     "it Italiano",
                                "zh-Hans 简体中文", "zh-Hant 繁體中文", "ja 日本語"};
        QCOMPARE(all.size(), 9);
        for (qsizetype i = 0; i < all.size(); ++i) {
            const UIStrings &s = all[i];
            QCOMPARE(s.code + u' ' + s.langName, names[i]);
            for (const QString &text :
                 {s.readAgreed,      s.privacy,        s.andWord,           s.license,
                  s.installSetting,  s.selectLanguage, s.installPath,       s.browse,
                  s.btnInstall,      s.btnRetry,       s.btnStartNow,       s.btnHide,
                  s.installingWait,  s.cancelling,     s.installInProgress, s.chooseLocation,
                  s.offlineLink,     s.installFailed,  s.couldNotStart,     s.selectFolder,
                  s.noPrivateFolder, s.imageUnverified})
                QVERIFY2(!text.trimmed().isEmpty(), qPrintable(s.code)); // no English fallback
            QVERIFY(s.installerError.count("%ld") == 1 && s.exitConfirm.count("%@") == 1);
            // Filled by position: the product, the megabytes, the folder.
            QVERIFY2(s.notEnoughSpace.count("%@") == 2 && s.notEnoughSpace.count("%ld") == 1 &&
                         s.notEnoughSpace.indexOf("%@") < s.notEnoughSpace.indexOf("%ld") &&
                         s.notEnoughSpace.indexOf("%ld") < s.notEnoughSpace.lastIndexOf("%@"),
                     qPrintable(s.code));
            // The texts of the environment and signature checks are translated, not copied.
            QVERIFY2(i == 0 || (s.notEnoughSpace != all[0].notEnoughSpace &&
                                s.noPrivateFolder != all[0].noPrivateFolder &&
                                s.imageUnverified != all[0].imageUnverified),
                     qPrintable(s.code));
            QVERIFY(s.slides.size() == 4 && (i == 0 || s.slides != all[0].slides)); // translated
            for (const QString &caption : s.slides)
                QVERIFY(!caption.trimmed().isEmpty() && caption.size() <= 45);
        }
        // Characters that are easy to lose: a space before a colon, full-width punctuation.
        QCOMPARE(all[2].couldNotStart, "Impossible de démarrer l'installateur : ");
        QCOMPARE(ITFormat(all[6].exitConfirm, "Quillmarsh"), "确定要退出 Quillmarsh 安装程序吗？");
        QCOMPARE(all[8].readAgreed, "以下を読み、同意します：");
    }
    void slideCaptions_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file at all; "/": a folder in its place
        QTest::addColumn<int>("languages");      // 0: the file cannot be used
        QTest::addColumn<QStringList>("own");    // codes that keep captions of their own
        const QByteArray en = R"("en":["1","2","3","4"])";
        QTest::newRow("absent") << QByteArray() << 0 << QStringList();
        QTest::newRow("unreadable") << QByteArray("/") << 0 << QStringList();
        QTest::newRow("not JSON") << QByteArray(R"({"en": ["a",)") << 0 << QStringList();
        QTest::newRow("top-level array") << QByteArray(R"([["a"]])") << 0 << QStringList();
        QTest::newRow("only en") << "{" + en + "}" << 1 << QStringList{"en"};
        QTest::newRow("de text") << "{" + en + R"(,"de":"x","fr":["y"]})" << 3
                                 << QStringList{"en", "fr"};
        QTest::newRow("zh-hans") << "{" + en + R"(,"zh-hans":["x"],"xx":[]})" << 3
                                 << QStringList{"en"};
        QTest::newRow("en {}") << QByteArray(R"({"ja":["x"],"en":{}})") << 2 << QStringList{"ja"};
    }
    void slideCaptions()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, languages);
        QFETCH(QStringList, own);
        QTemporaryDir dir;
        const QString path = content.isNull() ? QString() : dir.filePath("slides.json");
        QVERIFY(content.isNull() ||
                (content == "/" ? QDir().mkdir(path) : writeFile(path, content)));
        QList<UIStrings> records = Localization::all();
        const SlideCaptionsResult r = loadSlideCaptions(path, records);
        const QJsonObject doc = QJsonDocument::fromJson(content).object();
        auto captions = [&](const QString &code) { // what the file gives code, if anything
            return own.contains(code) ? doc[code].toVariant().toStringList() : QStringList();
        };
        const QString loaded = "L10N: slides loaded for %1 languages (en fallback: %2 captions)";
        QStringList log{loaded.arg(languages).arg(captions("en").size())};
        if (languages == 0) // a missing or broken file
            log.prepend("L10N: slides.json missing or invalid at " +
                        (path.isEmpty() ? "(not built in)" : path));
        QCOMPARE(r.logLines, log);
        for (const UIStrings &rec : records)
            QCOMPARE(rec.slides, own.contains(rec.code) ? captions(rec.code) : captions("en"));
    }
};

QM_TEST_GUILESS_MAIN(TestLocalization)
#include "tst_localization.moc"
