#include "diag/itlog.h"
#include "download/connectivity.h"
#include "download/downloader.h"
#include "download/folderlayout.h"
#include "download/progressthrottle.h"
#include "download/responsedecision.h"
#include "download/resumestate.h"
#include "tcpfaultproxy.h"
#include "testhttpserver.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <curl/curl.h>
#include <sys/mount.h>

using namespace download;
using namespace testsupport;

namespace {

// What an outcomes row arranges besides its responses. Offline: to a host that does not resolve;
// an abandon leaves the file there to the attempt that replaced it. Limited: at most kLimit bytes.
// clang-format off
enum class Setup { None, Limited, ServerGone, LongUrl, FolderInTheWay, Offline, OfflineToLoopback, CancelAtReport, CancelAtLanding, CancelOffline, AbandonAtReport };
// clang-format on
constexpr qint64 kLimit = 4096;

// One Downloader attempt run to its end, and what its caller sees; configure may change both.
struct DownloadRun : DownloadResult
{
    bool completed = false;
    QList<QPair<qint64, qint64>> progress;
    int progressAfterCancel = 0;
    bool ok() const { return completed && status == Status::Saved; }
    static DownloadRun
    exec(const QString &url, const QString &dest, std::optional<QByteArray> resume = std::nullopt,
         const std::function<void(Downloader &, Downloader::Options &)> &configure = {})
    {
        auto run = std::make_shared<DownloadRun>();
        {
            auto dl = Downloader::create(url, dest, std::move(resume));
            dl->onProgress = [run, raw = dl.get()](qint64 written, qint64 total) {
                run->progressAfterCancel += raw->isCancelled() ? 1 : 0;
                run->progress.append({written, total});
            };
            dl->onComplete = [run](const DownloadResult &r) {
                static_cast<DownloadResult &>(*run) = r;
                run->completed = true;
            };
            Downloader::Options options;
            options.lowSpeedTimeSeconds = 1;
            options.totalTimeoutSeconds = 20;
            if (configure)
                configure(*dl, options);
            dl->setOptions(options);
            dl->start();
            static_cast<void>(QTest::qWaitFor([&] { return run->completed; }, 30000));
        }
        return *run;
    }
};

QByteArray randomBytes(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// A new seed makes a new version of the file, with a new ETag from size and time alike.
bool writeImage(const QString &path, int seed, qint64 size)
{
    QFile f(path); // its time is set through an open file
    return writeFile(path, randomBytes(size, seed)) && f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(seed * 10),
                         QFileDevice::FileModificationTime);
}

HttpResponse file(int status = 200, bool HttpResponse::*flag = nullptr)
{
    HttpResponse r = HttpResponse::make(status, randomBytes(256 * 1024, 0));
    if (flag)
        r.*flag = true;
    return r;
}

// A file its server serves in ranges (unless told otherwise), cut or stalled after 100000 bytes.
HttpResponse cutRanged(const QByteArray &header, const QByteArray &value, bool stall = false,
                       bool ranges = true)
{
    HttpResponse r = file().header(header, value);
    (stall ? r.stallAfter : r.closeAfter) = 100000;
    return ranges ? r.header("Accept-Ranges", "bytes") : r;
}

using OutcomeRow = std::tuple<QList<HttpResponse>, qint64, qint64, bool, QString, QString, Setup>;
using Status = DownloadResult::Status;
// The file's size, whether its length is told, the bytes held from a cut attempt, the outcome.
using SpaceRow = std::tuple<qint64, bool, qint64, Status>;
// "plain" or the TLS server of that certificate; the cuts as fractions, one per attempt; the
// TransportFailure of the last attempt (None: saved).
using NginxRow = std::tuple<QString, QList<double>, TransportFailure>;
// What is done to the server's file, the partial file or the resume state once the first
// attempt is cut. A resume row: how the server answers, the spoiling, whether the rest is asked
// for, whether the held bytes are continued, the requests after the first attempt.
using Spoil = std::function<bool(const QString &image, const QString &partial, QByteArray &state)>;
using ResumeRow = std::tuple<QString, Spoil, bool, bool, int>;

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    TlsNginx m_nginx;
    QString dest() const { return layout::imageFile(m_dir->path()); }
    static int logged(const QString &prefix) { return logText().count("  " + prefix); }
    static bool emptyLog() { return ITLogDrain(2000), QFile::resize(ITLogFilePath(), 0); }
    QStringList partials() const
    {
        return QDir(m_dir->path()).entryList({layout::partialPrefix(dest()) + '*'});
    }

private slots:
    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        m_dir = std::make_unique<QTemporaryDir>();
        ITLog("TEST: %@", QTest::currentDataTag());
        QVERIFY(emptyLog());
    }

    void outcomes_data()
    {
        // The responses, the HTTP status and curl's code, whether a resume state is kept, what the
        // message contains (empty: success), a message logged once, and what the row arranges.
        QTest::addColumn<OutcomeRow>("row");
        auto row = [](const char *name, QList<HttpResponse> rs, qint64 status, qint64 code = 0,
                      bool resumable = false, QString message = {}, QString line = {},
                      Setup setup = Setup::None) {
            if (code && message.isNull()) // libcurl's text
                message = curl_easy_strerror(CURLcode(code));
            // A transport error's line is known only once it happened.
            line = line.isEmpty() && !code ? "DL: download complete" : line;
            QTest::newRow(name) << OutcomeRow{rs, status, code, resumable, message, line, setup};
        };
        const qint64 cut = CURLE_PARTIAL_FILE, timedOut = CURLE_OPERATION_TIMEDOUT;
        const QString cancelled = "Download cancelled.",
                      cancelLine = "DL: cancelled by user, partial file deleted";
        const QString tooLarge = "larger than expected",
                      limitLine = "DL: file larger than the 4096 bytes allowed, stopped at ";
        // clang-format off
        row("200 chunked", {file(200, &HttpResponse::chunked)}, 200);
        row("299", {file(299)}, 299);
        row("300", {HttpResponse::make(300, "pick")}, 300, 0, false, "Server returned HTTP 300", "DL: HTTP 300, treated as failure");
        row("no HTTP response", {file(200, &HttpResponse::dropConnection)}, 0, CURLE_GOT_NOTHING);
        row("refused", {}, 0, CURLE_COULDNT_CONNECT, false, {}, {}, Setup::ServerGone);
        row("redirect to another path", {HttpResponse::redirect(302, "/moved/file"), file()}, 200);
        row("redirect to another scheme", {HttpResponse::redirect(302, "https://127.0.0.1:1/")}, 302, CURLE_UNSUPPORTED_PROTOCOL);
        row("cut, no validator", {cutRanged("X-Other", "1")}, 200, cut);
        row("cut, no Accept-Ranges", {cutRanged("ETag", "\"v1\"", false, false)}, 200, cut);
        row("stall past the low-speed limit", {cutRanged("ETag", "\"v1\"", true)}, 200, timedOut, true);
        row("request never answered", {file(200, &HttpResponse::noAnswer)}, 0, timedOut);
        row("206 not asked for", {HttpResponse::make(206, "x").header("Content-Range", "bytes 0-0/9")}, 206, CURLE_WEIRD_SERVER_REPLY);
        // Framed correctly, so only the download's own count of the range can tell it is short.
        row("206 shorter than its range", {HttpResponse::make(206, QByteArray(100, 'x')).header("Content-Range", "bytes 0-999/1000")}, 206, cut);
        row("option refused", {}, 0, CURLE_BAD_FUNCTION_ARGUMENT, false, "cannot set CURLOPT_URL", {}, Setup::LongUrl);
        row("destination is a folder", {file()}, 200, 0, false, "Downloaded file could not be saved.", "DL: move FAILED: ", Setup::FolderInTheWay);
        row("offline", {}, 0, timedOut, false, {}, {}, Setup::Offline);
        row("offline, but to loopback", {file()}, 200, 0, false, {}, {}, Setup::OfflineToLoopback);
        row("cancel during the transfer", {cutRanged("ETag", "\"v1\"", true)}, 200, 0, false, cancelled, cancelLine, Setup::CancelAtReport);
        row("cancel once the file landed", {file()}, 200, 0, false, cancelled, cancelLine, Setup::CancelAtLanding);
        row("cancel while offline", {}, 0, 0, false, cancelled, cancelLine, Setup::CancelOffline);
        row("abandoned for another host", {cutRanged("ETag", "\"v1\"", true)}, 200, 0, false, cancelled, "DL: left for another host, partial file deleted", Setup::AbandonAtReport);
        row("length past the limit", {file()}, 200, 0, false, tooLarge, limitLine + "262144", Setup::Limited);
        row("chunked past the limit", {file(200, &HttpResponse::chunked)}, 200, 0, false, tooLarge, limitLine, Setup::Limited);
        // clang-format on
    }
    void outcomes()
    {
        QFETCH(OutcomeRow, row);
        auto [responses, status, code, resumable, message, line, setup] = row;
        const bool unresolved = setup == Setup::Offline || setup == Setup::CancelOffline,
                   offline = unresolved || setup == Setup::OfflineToLoopback,
                   stoppedAtReport =
                       setup == Setup::CancelAtReport || setup == Setup::AbandonAtReport,
                   ok = message.isEmpty();
        for (const HttpResponse &r : responses)
            m_server->enqueue(r);
        QString url = unresolved ? "http://download.quillmarsh.invalid/f" : m_server->url("/f");
        if (setup == Setup::LongUrl)
            url += "?" + QString(8 << 20, u'a');
        if (setup == Setup::ServerGone)
            m_server.reset();
        // An old file, or a folder in its way.
        QVERIFY(writeFile(dest() + (setup == Setup::FolderInTheWay ? "/occupied" : ""), "old"));
        const DownloadRun run =
            DownloadRun::exec(url, dest(), {}, [&, setup = setup](Downloader &dl, auto &o) {
                o.totalTimeoutSeconds = offline ? 1 : 20;
                o.networkAvailable = [offline] { return !offline; };
                o.maxBytes = setup == Setup::Limited ? kLimit : -1;
                if (stoppedAtReport)
                    dl.onProgress = [&dl, setup, report = dl.onProgress](auto written, auto total) {
                        report(written, total);
                        setup == Setup::CancelAtReport ? dl.cancel() : dl.abandon();
                    };
                else if (setup == Setup::CancelAtLanding)
                    o.afterFileLanded = [&dl] { // only once it is there
                        if (QFileInfo(dl.destFile()).isFile())
                            dl.cancel();
                    };
                else if (setup == Setup::CancelOffline)
                    QTimer::singleShot(50, [&dl] { dl.cancel(); });
            });
        QVERIFY2(ok ? run.message == "" : run.message.contains(message), qPrintable(run.message));
        QCOMPARE(std::tuple(run.completed, run.ok(), run.httpStatus, run.errorCode,
                            run.resumeData.has_value()),
                 std::tuple(true, ok, status, code, resumable));
        QCOMPARE(std::pair(partials().size(), QFileInfo(dest()).isFile()),
                 std::pair(qsizetype(resumable), ok || setup == Setup::AbandonAtReport));
        if (code) // the whole line, with the size of the resume state
            line = ITFormat("DL: error %ld %@ (resume state: %lu bytes)", code, run.message,
                            quint64(run.resumeData.value_or("").size()));
        QCOMPARE(std::pair(logged(line), logged("DL: waiting for connectivity...")),
                 std::pair(1, unresolved ? 1 : 0));
        // Nothing reaches the caller once it has cancelled (at the first report: only that one).
        QVERIFY(run.progressAfterCancel == 0 && (!stoppedAtReport || run.progress.size() <= 1));
        // Past the limit no more is written, and no more than a receive buffer (limit + 1) is read.
        if (setup == Setup::Limited) {
            const qint64 most = responses[0].chunked ? 2 * kLimit + 1 : 256 * 1024;
            QVERIFY2(run.size > kLimit && run.size <= most, qPrintable(QString::number(run.size)));
            QVERIFY(run.progress.isEmpty() || run.progress.last().first <= kLimit);
        }
        const HttpRequest first = m_server ? m_server->requests().value(0) : HttpRequest();
        QCOMPARE(first.header("User-Agent"),
                 first.method.isEmpty() ? "" : "QuillmarshOnlineInstaller/1.0");
        QVERIFY(!first.hasHeader("Range"));
        if (ok) {
            const QByteArray &body = responses.last().body;
            QCOMPARE(std::tuple(readFile(dest()), run.sha256, run.size),
                     std::tuple(body, QCryptographicHash::hash(body, QCryptographicHash::Sha256),
                                qint64(body.size())));
            // A known size is the total of every report, and its last piece is always delivered.
            const bool known = !responses.last().chunked && !responses.last().omitContentLength;
            QCOMPARE(run.progress.last().second, known ? qint64(body.size()) : -1);
            QVERIFY(!known || run.progress.last().first == body.size());
        }
    }

    // A response's use for a first request, or for the rest of a 1000-byte file held to byte 400 as
    // "v1" (or a date): only a 206 for exactly that rest of that version continues the bytes.
    void decision()
    {
        const QByteArray v1 = "\"v1\"", date = "Sun, 06 Dec 2026 08:00:00 GMT",
                         rest = "206|Content-Range: bytes 400-999/1000|";
        const char *uses[] = {"ErrorPage", "WholeFile", "Continuation", "Restart", "Refuse"};
        // Held (the If-Range value; empty: nothing), the status and "|Name: value" per header, and
        // the use, the validator kept and "ranges" when the server serves them.
        // clang-format off
        const QList<std::tuple<QByteArray, QByteArray, QString>> rows{
        {v1, rest + "ETag: \"v1\"", "Continuation \"v1\" ranges"},
        {date, rest + "Last-Modified: " + date, "Continuation " + date + " ranges"},
        {v1, "206|Content-Range: bytes 400-1099/1100|ETag: \"v1\"", "Restart"}, // another total
        {v1, "206|Content-Range: bytes 300-999/1000|ETag: \"v1\"", "Restart"},  // before the offset
        {v1, "206|Content-Range: bytes abc|ETag: \"v1\"", "Restart"},
        {v1, "206|Content-Range: bytes 400-1000/1000|ETag: \"v1\"", "Restart"}, // past its total
        {v1, "206|ETag: \"v1\"", "Restart"},
        {{}, "416", "ErrorPage"}, // asked for no range: asking again would get the same
        {v1, rest + "ETag: \"v2\"", "Restart"},
        {v1, rest + "Last-Modified: " + date, "Restart"}, // If-Range ignored, no ETag
        {{}, "200|ETag: W/\"v1\"|Last-Modified: " + date + "|Accept-Ranges: bytes", "WholeFile ranges"},
        {{}, "200|ETag: \"v1\"|Accept-Ranges: none", "WholeFile \"v1\""},
        };
        // clang-format on
        QStringList expected, decided;
        for (const auto &[held, response, use] : rows) {
            QByteArrayList lines = response.split('|');
            ResponseHead head{lines.takeFirst().toLong(), {}};
            for (const QByteArray &h : lines)
                head.headers.append({h.left(h.indexOf(':')), h.mid(h.indexOf(':') + 2)});
            const ResponseDecision d = decideResponse(head, {held.isEmpty() ? 0 : 400, 1000, held});
            const QString ranges = d.rangesServed ? "ranges" : "";
            decided << QStringList({uses[d.use], d.validator, ranges}).join(' ').simplified();
            expected << use;
        }
        QCOMPARE(decided, expected);
    }

    void resume_data()
    {
        // What spoils the resumption of a download cut at 40 %; a 416 has no body, a server without
        // ETags that ignores If-Range sends the new version's 206, an error page leaves the held
        // bytes held, bytes written after the state was kept are cut off. A validator altered is
        // still well-formed, only its checksum tells.
        QTest::addColumn<ResumeRow>("row");
        using B = QByteArray;
        // clang-format off
        using S = const QString &;
        const Spoil none = [](S, S, B &) { return true; };
        const Spoil newImage = [](S image, S, B &) { return writeImage(image, 2, 1 << 20); };
        const Spoil grew = [](S, S p, B &) { QFile f(p); return f.open(QIODevice::Append) && f.write("x") == 1; };
        const Spoil shrank = [](S, S p, B &) { return QFile::resize(p, QFileInfo(p).size() - 1); };
        const Spoil link = [](S, S p, B &) { return QFile::rename(p, p + ".real") && QFile::link(p + ".real", p); };
        const Spoil emptied = [](S, S, B &state) { state.clear(); return true; };
        const Spoil altered = [](S image, S, B &state) {
            const qsizetype at = state.indexOf(TestHttpServer::fileETag(image)) + 1;
            state[at] = char(state[at] ^ 1);
            return at > 0; };
        for (const auto &[fault, server, spoil, rangeAsked, continued, requests] :
             {std::tuple{"file changed, 200", "", newImage, true, false, 1},
              {"416", "416", none, true, false, 2},
              {"If-Range ignored, Last-Modified changed", "no ETags", newImage, true, false, 2},
              {"503, then 206", "503 once", none, true, true, 2},
              {"partial file grew", "", grew, true, true, 1},
              {"blob validator altered", "", altered, false, false, 1},
              {"empty blob", "", emptied, false, false, 1},
              {"partial file shrank", "", shrank, false, false, 1},
              {"partial file is a link", "", link, false, false, 1}})
            QTest::newRow(fault) << ResumeRow{server, spoil, rangeAsked, continued, requests};
        // clang-format on
    }
    void resume()
    {
        QFETCH(ResumeRow, row);
        const auto &[server, spoil, rangeAsked, continued, requests] = row;
        const qint64 size = 1 << 20, cut = size * 2 / 5;
        const QString image = m_dir->filePath("image.dmg"), url = m_server->url("/image.dmg");
        QVERIFY(writeImage(image, 1, size));
        const bool datesOnly = server == "no ETags"; // and If-Range ignored
        QByteArray validator = TestHttpServer::fileETag(image);
        for (const auto &[name, value] : TestHttpServer::fileResponse({}, image).headers)
            validator = datesOnly && name == "Last-Modified" ? value : validator;
        m_server->setHandler([&, server = server](const HttpRequest &req) {
            if (req.hasHeader("Range") && server == "416")
                return HttpResponse::make(416).header("Content-Range", "bytes */1048576");
            if (server == "503 once" && m_server->requestCount() == 2)
                return HttpResponse::make(503, "busy");
            HttpRequest asked = req;
            asked.headers.removeIf(
                [&](const auto &h) { return datesOnly && h.first == "If-Range"; });
            HttpResponse r = TestHttpServer::fileResponse(asked, image);
            r.closeAfter = m_server->requestCount() == 1 ? cut : -1; // the first attempt is cut
            if (datesOnly)
                r.removeHeader("ETag");
            return r;
        });
        const DownloadRun first = DownloadRun::exec(url, dest());
        QVERIFY(first.errorCode == CURLE_PARTIAL_FILE && first.resumeData &&
                partials().size() == 1);
        const QString partial = m_dir->filePath(partials().first());
        QCOMPARE(QFileInfo(partial).size(), cut);
        QCOMPARE(QFileInfo(partial).permissions() & 0x0077, 0); // nobody else's to read
        QByteArray blob = *first.resumeData;
        QVERIFY(spoil(image, partial, blob));
        const bool busyFirst = server == "503 once";
        const auto keep = [this](Downloader &, auto &o) { o.stateFile = m_dir->filePath("s"); };
        DownloadRun second = DownloadRun::exec(url, dest(), blob, keep);
        if (busyFirst) {
            QVERIFY(second.resumeData && QFileInfo(partial).size() == cut);
            second = DownloadRun::exec(url, dest(), *second.resumeData, keep);
        }
        const auto kept = ResumeState::decode(readFile(m_dir->filePath("s"))); // whole, once landed
        QVERIFY2(second.ok() && kept && kept->offset == size, qPrintable(second.message));
        QCOMPARE(std::tuple(sha256Of(dest()), second.sha256.toHex(), second.size, partials()),
                 std::tuple(sha256Of(image), sha256Of(image), size, QStringList()));
        const QList<HttpRequest> seen = m_server->requests().mid(1); // after the first attempt
        QCOMPARE(
            std::tuple(seen.size(), seen.first().header("Range"), seen.first().header("If-Range")),
            std::tuple(qsizetype(requests), rangeAsked ? "bytes=419430-" : QByteArray(),
                       rangeAsked ? validator : QByteArray()));
        QVERIFY(requests == 1 || busyFirst || !seen.last().hasHeader("Range"));
        QCOMPARE(logged(ITFormat("DL: RESUME %@ -> %@ (%lu bytes of state)", url, dest(),
                                 quint64(blob.size()))),
                 busyFirst ? 2 : 1);
        QCOMPARE(logged(ITFormat("DL: resumed at offset %lld / %lld", cut, size)),
                 continued ? 1 : 0);
        // Progress counts the whole file: a continued attempt starts beyond the held bytes.
        QCOMPARE(std::tuple(second.progress.first().first > cut, second.progress.first().second,
                            second.progress.last()),
                 std::tuple(continued, size, qMakePair(size, size)));
    }

    void withoutHandlers()
    {
        m_server->enqueue(file());
        auto dl = Downloader::create(m_server->url("/file"), dest());
        dl->start();
        dl.reset(); // dropped at once: the attempt is cancelled and lets go of every file
        QCOMPARE(entries(m_dir->path()), QString());
    }

    // The first report, then one per interval since the last delivered, and any completing a size.
    void throttle()
    {
        ProgressThrottle sized, unsized;
        QList<bool> delivered;
        for (const auto &[time, written] :
             {std::pair{0.0, 1}, {0.0625, 2}, {0.125, 3}, {0.1875, 100}})
            delivered << sized.shouldDeliver(written, 100, time)
                      << unsized.shouldDeliver(written, -1, time);
        QCOMPARE(delivered, QList<bool>({true, true, false, false, true, true, true, false}));
    }

    void loopbackHost()
    {
        for (const char *host : {"localhost", "dl.localhost", "127.0.0.1", "127.9.8.7", "::1",
                                 "[::1]", "::ffff:127.0.0.1", "[::ffff:127.0.0.1]"})
            QVERIFY2(connectivity::isLoopbackHost(host), host);
        for (const char *host : {"10.0.0.1", "::ffff:10.0.0.1", "::2", "localhost.example.org", ""})
            QVERIFY2(!connectivity::isLoopbackHost(host), host);
    }

    // A 2 MiB, then 1 MiB tmpfs in this thread's own mount namespace, inherited by the worker.
    void noSpace_data()
    {
        QTest::addColumn<SpaceRow>("row"); // a size not known fails as the disk fills up
        QTest::newRow("too big") << SpaceRow{1600 << 10, true, 0, Status::NoSpace};
        // The whole file would not fit beside the held bytes, but the rest does.
        QTest::newRow("rest fits") << SpaceRow{900 << 10, true, 450 << 10, Status::Saved};
        QTest::newRow("rest too big") << SpaceRow{1600 << 10, true, 600 << 10, Status::NoSpace};
        QTest::newRow("too big, size unknown") << SpaceRow{1600 << 10, false, 0, Status::Failed};
    }
    void noSpace()
    {
        QFETCH(SpaceRow, row);
        const auto [size, lengthKnown, resumeAt, outcome] = row;
        const qint64 code = lengthKnown ? 0 : CURLE_WRITE_ERROR;
        const QString folder = m_dir->filePath("small");
        const QByteArray at = QFile::encodeName(folder);
        QVERIFY(QDir().mkpath(folder));
        if (!privateMounts())
            QSKIP("no private mount namespace here (needs CAP_SYS_ADMIN)");
        QCOMPARE(::mount("tmpfs", at, "tmpfs", 0, "size=2m,mode=0700"), 0);
        const auto unmount = qScopeGuard([&] { ::umount2(at, MNT_DETACH); });
        const QString image = m_dir->filePath("image.dmg"), dest = layout::imageFile(folder),
                      url = m_server->url("/image.dmg");
        QVERIFY(writeImage(image, 3, size));
        m_server->setHandler([&, lengthKnown = lengthKnown, resumeAt = resumeAt](auto &req) {
            HttpResponse r = TestHttpServer::fileResponse(req, image);
            r.closeAfter = resumeAt > 0 && m_server->requestCount() == 1 ? resumeAt : -1;
            r.chunked = !lengthKnown;
            if (!lengthKnown)
                r.removeHeader("Content-Length");
            return r;
        });
        std::optional<QByteArray> resume;
        if (resumeAt > 0) {
            resume = DownloadRun::exec(url, dest).resumeData;
            QVERIFY(resume && emptyLog()); // only the checked attempt's lines count
        }
        QCOMPARE(::mount(nullptr, at, nullptr, MS_REMOUNT, "size=1m"), 0);
        const qint64 free = QStorageInfo(folder).bytesAvailable();
        const DownloadRun run = DownloadRun::exec(url, dest, resume);
        const bool saved = outcome == Status::Saved, short_ = outcome == Status::NoSpace;
        QCOMPARE(std::tuple(run.completed, run.status, run.errorCode, run.resumeData.has_value()),
                 std::tuple(true, outcome, code, false));
        QCOMPARE(entries(folder), saved ? QFileInfo(dest).fileName() : QString());
        QCOMPARE(std::tuple(run.spaceFolder, run.bytesNeeded, run.bytesAvailable),
                 short_ ? std::tuple(folder, size - resumeAt, free)
                        : std::tuple(QString(), 0LL, 0LL));
        // A disk that fills up during the transfer: the system's reason, in the message and logged.
        QVERIFY2(!code || run.message.contains(qt_error_string(ENOSPC)), qPrintable(run.message));
        QCOMPARE(logged(ITFormat("DL: error %ld %@ (resume state: 0 bytes)", code, run.message)),
                 code ? 1 : 0);
        QCOMPARE(run.sha256.toHex(), saved ? sha256Of(image) : QByteArray());
    }

    // nginx's Range, ETag and If-Range through a relay that cuts; TLS against the system's store
    // (holding the test's CA).
    void nginx_data()
    {
        QTest::addColumn<NginxRow>("row");
        using T = TransportFailure;
        // clang-format off
        QTest::newRow("HTTP/1.1, cut once, resumed") << NginxRow{"plain", {0.5}, T::None};
        QTest::newRow("TLS, HTTP/2, cut twice, resumed") << NginxRow{"good", {0.3, 0.6}, T::None};
        QTest::newRow("untrusted CA") << NginxRow{"untrusted", {}, T::CertificateUntrusted};
        QTest::newRow("wrong host") << NginxRow{"wrong", {}, T::CertificateWrongHost};
        QTest::newRow("expired") << NginxRow{"expired", {}, T::CertificateExpired};
        // clang-format on
    }
    void nginx()
    {
        QFETCH(NginxRow, row);
        const auto &[server, cuts, transport] = row;
        const bool tls = server != "plain";
        if (!TlsNginx::installed())
            QSKIP("nginx is not installed (Debian package nginx-light)");
        QVERIFY(m_nginx.start());
        std::optional<TestTrustStore> trust;
        if (tls && !trust.emplace(m_nginx.caFile()).active())
            QSKIP("no private mount namespace here (needs CAP_SYS_ADMIN)");
        const QString image = m_nginx.www() + "/quillmarsh.dmg";
        const qint64 size = 4 << 20;
        QVERIFY(writeImage(image, 1, size));
        TcpFaultProxy relay(tls ? m_nginx.tlsPort(server) : m_nginx.plainPort());
        QVERIFY(relay.isListening());
        for (double cut : cuts)
            relay.cutNextAfter(qint64(cut * size));
        const QString url =
            QString(tls ? "https://localhost:%1" : "http://127.0.0.1:%1").arg(relay.port()) +
            "/quillmarsh.dmg";
        std::optional<QByteArray> resume;
        for (int attempt = 0; attempt < cuts.size(); ++attempt) {
            const DownloadRun run = DownloadRun::exec(url, dest(), resume);
            QVERIFY(run.transport == TransportFailure::ConnectionLost && run.resumeData);
            resume = run.resumeData;
        }
        const DownloadRun last = DownloadRun::exec(url, dest(), resume);
        QCOMPARE(int(last.transport), int(transport));
        const bool ok = transport == TransportFailure::None;
        QVERIFY2(ok == last.ok() && !last.resumeData && partials().isEmpty(),
                 qPrintable(last.message));
        QCOMPARE(std::tuple(sha256Of(dest()), last.sha256.toHex(), logged("DL: error 60 ")),
                 ok ? std::tuple(sha256Of(image), sha256Of(image), 0)
                    : std::tuple(QByteArray(), QByteArray(), 1));
        QCOMPARE(std::pair(last.httpStatus, logged("DL: resumed at offset ")),
                 std::pair(ok ? 206LL : 0LL, int(cuts.size())));
    }
};

QM_TEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
