// The language table and the choice of a language; the slide captions file.
#include "diag/itformat.h"
#include "l10n/localization.h"
#include "l10n/slidecaptions.h"
#include "testmain.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace l10n;
using namespace testsupport;

class TestLocalization : public QObject
{
    Q_OBJECT

private slots:
    // The record a language tag chooses. That only the first of the desktop's languages counts is
    // seen by the whole program: tst_startup (an unknown first) and tst_screens (POSIX form).
    void languageFor_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("code"); // of the table's record chosen
        // Each row: the code, a space, the identifier.
        for (const QString &row :
             {"en ", "en frr", "de de-AT", "de de_AT.UTF-8@euro", "fr fr-CA", "es es-419",
              "pt pt-BR", "it it-IT", "zh-Hans zh-Hans-CN", "zh-Hant zh-MO", "zh-Hant zh-Hans-HK",
              "zh-Hant ZH-HANT", "zh-Hant zh_TW.Big5", "ja ja-JP"}) {
            const QString id = row.section(' ', 1);
            QTest::newRow(id.isEmpty() ? "empty" : qPrintable(id)) << id << row.section(' ', 0, 0);
        }
    }
    void languageFor()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, code);
        QCOMPARE(Localization::all().value(Localization::languageIndexFor(identifier)).code, code);
    }

    // Every text in every language: none left empty or in English, each with English's
    // placeholders in English's order, filled without harm to its script; four captions of its
    // own, short enough for the slide.
    void table()
    {
        const QList<UIStrings> &all = Localization::all();
        const UIStrings &en = all[0];
        // The placeholders, in order: "%@" takes a text, "%ld" a number; the lack of disk space
        // is told with the product, the megabytes, the folder.
        auto marks = [](QString text) {
            return text.replace(QRegularExpression("(%@|%ld)|."), "\\1");
        };
        QCOMPARE(marks(en.installerError) + '|' + marks(en.exitConfirm) + '|' +
                     marks(en.notEnoughSpace),
                 "%ld|%@|%@%ld%@");
        auto texts = [](const UIStrings &s) { // all but its code, name and captions
            return QStringList{
                s.readAgreed,        s.privacy,          s.andWord,           s.license,
                s.installSetting,    s.selectLanguage,   s.installPath,       s.browse,
                s.btnInstall,        s.btnRetry,         s.btnStartNow,       s.btnHide,
                s.installingWait,    s.cancelling,       s.installInProgress, s.chooseLocation,
                s.offlineLink,       s.installFailed,    s.couldNotStart,     s.installerError,
                s.exitConfirm,       s.selectFolder,     s.notEnoughSpace,    s.noPrivateFolder,
                s.imageUnverified,   s.netHostNotFound,  s.netNoConnection,   s.netTimedOut,
                s.netConnectionLost, s.netCertUntrusted, s.netCertExpired,    s.netCertWrongHost,
                s.netProxyAuth,      s.netProxyFailed,   s.netOther};
        };
        const QStringList english = texts(en);
        for (const UIStrings &s : all) {
            const QStringList mine = texts(s);
            for (qsizetype i = 0; i < mine.size(); ++i)
                QVERIFY2(!mine[i].trimmed().isEmpty() && (&s == &en || mine[i] != english[i]) &&
                             marks(mine[i]) == marks(english[i]),
                         qPrintable(s.code + ": " + mine[i]));
            // Formatting keeps every script's characters (the formats themselves are tst_diag's).
            QCOMPARE(ITFormat(s.exitConfirm, "Quillmarsh"),
                     QString(s.exitConfirm).replace("%@", "Quillmarsh"));
            QVERIFY(s.slides.size() == 4 && (&s == &en || s.slides != en.slides));
            for (const QString &caption : s.slides)
                QVERIFY(!caption.trimmed().isEmpty() && caption.size() <= 45);
        }
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
