// Which host an Install action asks, after which failure, and how long it waits for each; which
// bytes of an earlier run it continues. One table of events in and steps out, one of what the
// private folder shows and the verdict.
#include "download/folderlayout.h"
#include "download/helddownload.h"
#include "download/hostpolicy.h"
#include "testmain.h"

using namespace download;

namespace {

constexpr qint64 kNow = 1'800'000'000'000;
const QString kFolder = "/home/u/.cache/qm";
using HeldRow = std::tuple<qint64, QString, QString, qint64, QString, qint64, QString, int>;

} // namespace

class TestHostPolicy : public QObject
{
    Q_OBJECT

    static HostPolicy::Failure failure(const QString &event)
    {
        using T = TransportFailure;
        static const QHash<QString, T> transports{
            {"timeout", T::TimedOut},          {"refused", T::NoConnection},
            {"dns", T::HostNotFound},          {"expired", T::CertificateExpired},
            {"cert", T::CertificateUntrusted}, {"wrong", T::CertificateWrongHost},
            {"lost", T::ConnectionLost},       {"proxy", T::ProxyFailed},
            {"auth", T::ProxyAuthRequired},    {"other", T::Other}};
        return {event.toLongLong(), transports.value(event, T::None)};
    }

private slots:
    // events: an HTTP status or a transport failure (a failed attempt), begin[:HOST] (an Install
    // action), file (the image after its .sig), won:HOST (a race won there), patience[.sig].
    // steps: retryDELAY@HOST, next@HOST, give@HOST for a failure; @HOST for the others.
    void steps_data()
    {
        QTest::addColumn<int>("hosts");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("steps");
        // clang-format off
        QTest::newRow("alone: three retries, 1, 2 and 3 s, then give up") << 1 << "503 408 429 lost begin 503" << "retry1@0 retry2@0 retry3@0 give@0 @0 retry1@0";
        QTest::newRow("alone: client errors final, silence and a failing proxy retried") << 1
            << "timeout proxy 410 begin 400 begin 403" << "retry1@0 retry2@0 give@0 @0 give@0 @0 give@0";
        QTest::newRow("404 and 410 move on to the next host; Retry after every host failed starts on the first") << 3
            << "404 410 404 begin 503" << "next@1 next@2 give@2 @0 retry1@0";
        QTest::newRow("the next host gets retries of its own") << 2 << "503 503 503 503 503 503 503 503"
            << "retry1@0 retry2@0 retry3@0 next@1 retry1@1 retry2@1 retry3@1 give@1";
        QTest::newRow("silent, refused, unresolved, any certificate fault: left at once; a cut or other retried") << 8
            << "timeout refused dns expired cert wrong lost other" << "next@1 next@2 next@3 next@4 next@5 next@6 retry1@6 retry2@6";
        QTest::newRow("a proxy that fails leaves at once; one wanting a password is never retried") << 3
            << "proxy auth auth begin proxy proxy" << "next@1 next@2 give@2 @0 next@1 next@2";
        QTest::newRow("the image after its .sig gets retries of its own") << 1 << "503 file 503 503 503 503"
            << "retry1@0 @0 retry1@0 retry2@0 retry3@0 give@0";
        QTest::newRow("a race won by the next host, or held bytes there: its own retries") << 3 << "503 won:1 503 won:3 won:1 503 begin:2 404" << "retry1@0 @1 retry1@1 @1 @1 retry2@1 @2 give@2";
        QTest::newRow("patience: raced and floored while a host follows, .sig short") << 2
            << "patience.sig patience 404 patience.sig"
            << "1000ms 4096B/s 15s 20s 1000ms 4096B/s 15s 3600s next@1 -1ms 1B/s 30s 3600s";
        // clang-format on
    }
    void steps()
    {
        QFETCH(int, hosts);
        QFETCH(QString, events);
        QFETCH(QString, steps);
        HostPolicy policy(hosts);
        policy.begin();
        QStringList out;
        for (const QString &e : events.split(' ')) {
            const int arg = e.section(':', 1).toInt();
            if (e.startsWith("patience")) {
                const HostPolicy::Patience p = policy.patience(e.endsWith(".sig"));
                out << QString::asprintf("%dms %ldB/s %ds %ds", p.staggerMs, p.floorBytesPerSecond,
                                         p.floorSeconds, p.totalSeconds);
                continue;
            }
            QString step; // a failure's: retry, next or give
            if (e.startsWith("begin"))
                policy.begin(arg);
            else if (e == "file")
                policy.nextFile();
            else if (e.startsWith("won"))
                policy.answeredBy(arg);
            else
                step =
                    QStringList{"retry", "next", "give"}.at(int(policy.afterFailure(failure(e))));
            out << step + (step == "retry" ? QString::number(policy.delaySeconds()) : "") + '@' +
                       QString::number(policy.host());
        }
        QCOMPARE(out.join(' '), steps);
    }

    // The resume state's age in hours (negative: saved in the future), its address, its partial
    // file (a name in the folder, or a whole path) and offset (of 1000 bytes); which files are
    // there (partial, image, both or none); the size the .sig signs (-1: unsigned); why it is
    // refused (empty: accepted), and the host it goes on at when accepted.
    void verdict_data()
    {
        QTest::addColumn<HeldRow>("row");
        const QString a = "https://a.example/q.dmg", b = "https://b.example/q.dmg",
                      part = layout::partialPrefix(layout::imageFile(kFolder)) + "1a2b3c4d";
        const QString gone = "the bytes it describes are gone",
                      foreign = "from an address this program does not download from";
        // clang-format off
        QTest::newRow("13 days old") << HeldRow{13 * 24, a, part, 500, "partial", -1, "", 0};
        QTest::newRow("15 days old") << HeldRow{15 * 24, a, part, 500, "partial", -1, "older than 14 days", 0};
        QTest::newRow("20 hours in the future: a clock set back") << HeldRow{-20, a, part, 500, "partial", -1, "", 0};
        QTest::newRow("two days in the future") << HeldRow{-48, a, part, 500, "partial", -1, "saved in the future", 0};
        QTest::newRow("arrived whole, never installed") << HeldRow{1, a, part, 1000, "image", -1, "", 0};
        QTest::newRow("whole, image gone") << HeldRow{1, a, part, 1000, "none", -1, gone, 0};
        QTest::newRow("half, partial gone, an image there") << HeldRow{1, a, part, 500, "image", -1, gone, 0};
        QTest::newRow("partial outside the folder") << HeldRow{1, a, "/tmp/" + part, 500, "both", -1, gone, 0};
        QTest::newRow("partial named for another file") << HeldRow{1, a, "other.part-1a2b3c4d", 500, "both", -1, gone, 0};
        QTest::newRow("the other processor's image") << HeldRow{1, "https://a.example/other.dmg", part, 500, "partial", -1, foreign, 0};
        QTest::newRow("unsigned, from the second host: goes on there") << HeldRow{1, b, part, 500, "partial", -1, "", 1};
        QTest::newRow("unsigned, from a host not on the list") << HeldRow{1, "https://c.example/q.dmg", part, 500, "partial", -1, foreign, 0};
        QTest::newRow("signed, from a host not on the list: any host") << HeldRow{1, "https://c.example/q.dmg", part, 500, "partial", 1000, "", 0};
        QTest::newRow("signed, from the second host: from the first") << HeldRow{1, b, part, 500, "partial", 1000, "", 0};
        QTest::newRow("the .sig signs less") << HeldRow{1, a, part, 500, "partial", 999, "the signature file signs another size", 0};
        QTest::newRow("the .sig signs more") << HeldRow{1, a, part, 500, "partial", 1001, "the signature file signs another size", 0};
        QTest::newRow("no resume state") << HeldRow{1, "", part, 500, "partial", -1, "no usable resume state", 0};
        // clang-format on
    }
    void verdict()
    {
        QFETCH(HeldRow, row);
        const auto &[ageHours, url, partial, offset, present, signedSize, why, host] = row;
        const HeldFacts facts{
            .state =
                url.isEmpty()
                    ? std::nullopt
                    : std::optional(ResumeState{
                          url, partial.startsWith('/') ? partial : kFolder + '/' + partial, offset,
                          1000, "\"e1\"", QByteArray(32, 'h'), kNow - ageHours * 3600 * 1000}),
            .partialExists = present == "partial" || present == "both",
            .imageExists = present == "image" || present == "both",
            .nowMs = kNow,
            .imageName = "q.dmg",
            .hosts = {"https://a.example", "https://b.example"},
            .signedImage = signedSize >= 0,
            .signedSize = signedSize};
        const HeldVerdict verdict = judgeHeldDownload(facts, layout::imageFile(kFolder));
        QCOMPARE(std::pair(verdict.why, verdict.accepted), std::pair(why, why.isEmpty()));
        if (verdict.accepted)
            QCOMPARE(heldHost(facts), qsizetype(host));
    }
};

QM_TEST_GUILESS_MAIN(TestHostPolicy)
#include "tst_hostpolicy.moc"
