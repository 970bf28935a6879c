// Which bytes of an earlier run a later Install continues: one table of what the private folder
// shows, and the verdict.
#include "download/folderlayout.h"
#include "download/helddownload.h"
#include "testmain.h"

using namespace download;

namespace {

constexpr qint64 kHour = 3600 * 1000;
constexpr qint64 kNow = 1'800'000'000'000;
const QString kFolder = "/home/u/.cache/qm";
const QStringList kHosts{"https://a.example", "https://b.example"};

} // namespace

class TestHeldDownload : public QObject
{
    Q_OBJECT

private slots:
    void verdict_data()
    {
        QTest::addColumn<qint64>("ageHours"); // negative: saved in the future
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("partial");   // its file name in the folder, or a whole path
        QTest::addColumn<qint64>("offset");     // of 1000 bytes
        QTest::addColumn<QString>("present");   // partial, image, both or none
        QTest::addColumn<qint64>("signedSize"); // -1: unsigned
        QTest::addColumn<QString>("why");       // empty: accepted
        QTest::addColumn<int>("host");          // where it goes on, when accepted
        const QString a = "https://a.example/q.dmg", b = "https://b.example/q.dmg",
                      part = layout::partialPrefix(layout::imageFile(kFolder)) + "1a2b3c4d";
        // clang-format off
        QTest::newRow("half, a day old") << 24LL << a << part << 500LL << "partial" << -1LL << "" << 0;
        QTest::newRow("13 days old") << 13 * 24LL << a << part << 500LL << "partial" << -1LL << "" << 0;
        QTest::newRow("15 days old") << 15 * 24LL << a << part << 500LL << "partial" << -1LL << "older than 14 days" << 0;
        QTest::newRow("20 hours in the future: a clock set back") << -20LL << a << part << 500LL << "partial" << -1LL << "" << 0;
        QTest::newRow("two days in the future") << -48LL << a << part << 500LL << "partial" << -1LL << "saved in the future" << 0;
        QTest::newRow("arrived whole, never installed") << 1LL << a << part << 1000LL << "image" << -1LL << "" << 0;
        QTest::newRow("whole, image gone") << 1LL << a << part << 1000LL << "none" << -1LL << "the bytes it describes are gone" << 0;
        QTest::newRow("half, partial gone, an image there") << 1LL << a << part << 500LL << "image" << -1LL << "the bytes it describes are gone" << 0;
        QTest::newRow("partial outside the folder") << 1LL << a << "/tmp/" + part << 500LL << "both" << -1LL << "the bytes it describes are gone" << 0;
        QTest::newRow("partial named for another file") << 1LL << a << "other.part-1a2b3c4d" << 500LL << "both" << -1LL << "the bytes it describes are gone" << 0;
        QTest::newRow("the other processor's image") << 1LL << "https://a.example/other.dmg" << part << 500LL << "partial" << -1LL << "from an address this program does not download from" << 0;
        QTest::newRow("unsigned, from the second host: goes on there") << 1LL << b << part << 500LL << "partial" << -1LL << "" << 1;
        QTest::newRow("unsigned, from a host not on the list") << 1LL << "https://c.example/q.dmg" << part << 500LL << "partial" << -1LL << "from an address this program does not download from" << 0;
        QTest::newRow("signed, from a host not on the list: any host") << 1LL << "https://c.example/q.dmg" << part << 500LL << "partial" << 1000LL << "" << 0;
        QTest::newRow("signed, from the second host: from the first") << 1LL << b << part << 500LL << "partial" << 1000LL << "" << 0;
        QTest::newRow("the .sig signs another size") << 1LL << a << part << 500LL << "partial" << 999LL << "the signature file signs another size" << 0;
        QTest::newRow("no resume state") << 1LL << "" << part << 500LL << "partial" << -1LL << "no usable resume state" << 0;
        // clang-format on
    }
    void verdict()
    {
        QFETCH(qint64, ageHours);
        QFETCH(QString, url);
        QFETCH(QString, partial);
        QFETCH(qint64, offset);
        QFETCH(QString, present);
        QFETCH(qint64, signedSize);
        QFETCH(QString, why);
        QFETCH(int, host);
        const QString image = layout::imageFile(kFolder);
        HeldFacts facts;
        if (!url.isEmpty())
            facts.state = ResumeState{url,
                                      partial.startsWith('/') ? partial : kFolder + '/' + partial,
                                      offset,
                                      1000,
                                      "\"e1\"",
                                      QByteArray(32, 'h'),
                                      kNow - ageHours * kHour};
        facts.partialExists = present == "partial" || present == "both";
        facts.imageExists = present == "image" || present == "both";
        facts.nowMs = kNow;
        facts.imageName = "q.dmg";
        facts.hosts = kHosts;
        facts.signedImage = signedSize >= 0;
        facts.signedSize = signedSize;
        const HeldVerdict verdict = judgeHeldDownload(facts, image);
        QCOMPARE(verdict.why, why);
        QCOMPARE(verdict.accepted, why.isEmpty());
        if (verdict.accepted)
            QCOMPARE(heldHost(facts), qsizetype(host));
    }
};

QM_TEST_GUILESS_MAIN(TestHeldDownload)
#include "tst_helddownload.moc"
