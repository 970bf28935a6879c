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
using Row = std::tuple<qint64, QString, QString, qint64, QString, qint64, QString, int>;

} // namespace
Q_DECLARE_METATYPE(Row)

class TestHeldDownload : public QObject
{
    Q_OBJECT

private slots:
    // The resume state's age in hours (negative: saved in the future), its address, its partial
    // file (a name in the folder, or a whole path) and offset (of 1000 bytes); which files are
    // there (partial, image, both or none); the size the .sig signs (-1: unsigned); why it is
    // refused (empty: accepted), and the host it goes on at when accepted.
    void verdict_data()
    {
        QTest::addColumn<Row>("row");
        const QString a = "https://a.example/q.dmg", b = "https://b.example/q.dmg",
                      part = layout::partialPrefix(layout::imageFile(kFolder)) + "1a2b3c4d";
        const QString gone = "the bytes it describes are gone",
                      foreign = "from an address this program does not download from";
        // clang-format off
        QTest::newRow("half, a day old") << Row{24, a, part, 500, "partial", -1, "", 0};
        QTest::newRow("13 days old") << Row{13 * 24, a, part, 500, "partial", -1, "", 0};
        QTest::newRow("15 days old") << Row{15 * 24, a, part, 500, "partial", -1, "older than 14 days", 0};
        QTest::newRow("20 hours in the future: a clock set back") << Row{-20, a, part, 500, "partial", -1, "", 0};
        QTest::newRow("two days in the future") << Row{-48, a, part, 500, "partial", -1, "saved in the future", 0};
        QTest::newRow("arrived whole, never installed") << Row{1, a, part, 1000, "image", -1, "", 0};
        QTest::newRow("whole, image gone") << Row{1, a, part, 1000, "none", -1, gone, 0};
        QTest::newRow("half, partial gone, an image there") << Row{1, a, part, 500, "image", -1, gone, 0};
        QTest::newRow("partial outside the folder") << Row{1, a, "/tmp/" + part, 500, "both", -1, gone, 0};
        QTest::newRow("partial named for another file") << Row{1, a, "other.part-1a2b3c4d", 500, "both", -1, gone, 0};
        QTest::newRow("the other processor's image") << Row{1, "https://a.example/other.dmg", part, 500, "partial", -1, foreign, 0};
        QTest::newRow("unsigned, from the second host: goes on there") << Row{1, b, part, 500, "partial", -1, "", 1};
        QTest::newRow("unsigned, from a host not on the list") << Row{1, "https://c.example/q.dmg", part, 500, "partial", -1, foreign, 0};
        QTest::newRow("signed, from a host not on the list: any host") << Row{1, "https://c.example/q.dmg", part, 500, "partial", 1000, "", 0};
        QTest::newRow("signed, from the second host: from the first") << Row{1, b, part, 500, "partial", 1000, "", 0};
        QTest::newRow("the .sig signs another size") << Row{1, a, part, 500, "partial", 999, "the signature file signs another size", 0};
        QTest::newRow("no resume state") << Row{1, "", part, 500, "partial", -1, "no usable resume state", 0};
        // clang-format on
    }
    void verdict()
    {
        QFETCH(Row, row);
        const auto &[ageHours, url, partial, offset, present, signedSize, why, host] = row;
        const HeldFacts facts{
            .state =
                url.isEmpty()
                    ? std::nullopt
                    : std::optional(ResumeState{
                          url, partial.startsWith('/') ? partial : kFolder + '/' + partial, offset,
                          1000, "\"e1\"", QByteArray(32, 'h'), kNow - ageHours * kHour}),
            .partialExists = present == "partial" || present == "both",
            .imageExists = present == "image" || present == "both",
            .nowMs = kNow,
            .imageName = "q.dmg",
            .hosts = kHosts,
            .signedImage = signedSize >= 0,
            .signedSize = signedSize};
        const HeldVerdict verdict = judgeHeldDownload(facts, layout::imageFile(kFolder));
        QCOMPARE(std::pair(verdict.why, verdict.accepted), std::pair(why, why.isEmpty()));
        if (verdict.accepted)
            QCOMPARE(heldHost(facts), qsizetype(host));
    }
};

QM_TEST_GUILESS_MAIN(TestHeldDownload)
#include "tst_helddownload.moc"
