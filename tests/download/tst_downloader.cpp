#include "downloadrun.h"
#include "testhttpserver.h"

#include "download/progressthrottle.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <curl/curl.h>
#include <sys/resource.h>

using namespace testsupport;

Q_DECLARE_METATYPE(HttpResponse)
Q_DECLARE_METATYPE(QList<HttpResponse>)

namespace {

QByteArray payload(int size)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator gen(size);
    gen.fillRange(reinterpret_cast<quint32 *>(b.data()), size / 4);
    return b;
}

HttpResponse cutAfter(HttpResponse r, qint64 bytes)
{
    r.closeAfter = bytes;
    return r;
}

Downloader::Options quick()
{
    Downloader::Options o;
    o.lowSpeedTimeSeconds = 1;
    o.totalTimeoutSeconds = 20;
    return o;
}

void quickOptions(Downloader &dl)
{
    dl.setOptions(quick());
}

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString dest() const { return m_dir->filePath(QStringLiteral("quillmarsh_setup.dmg")); }
    QStringList partials() const
    {
        return QDir(m_dir->path()).entryList({QStringLiteral("*.part-*")}, QDir::Files);
    }

private slots:
    void initTestCase() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    void init()
    {
        m_server = std::make_unique<TestHttpServer>();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_server->isListening());
    }
    void cleanup()
    {
        m_server.reset();
        m_dir.reset();
    }

    void outcomes_data();
    void outcomes();
    void refusedConnection();
    void resume_data();
    void resume();
    void cancel_data();
    void cancel();
    void failedMove();
    void withoutHandlers();
    void writeFailure();
    void connectivityWait();
    void throttle_data();
    void throttle();
};

void TestDownloader::outcomes_data()
{
    QTest::addColumn<QList<HttpResponse>>("responses");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("status");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("message"); // the message starts with this
    QTest::addColumn<bool>("resumable");

    const QByteArray body = payload(256 * 1024);
    const auto plain = HttpResponse::make(200, body);
    auto ranged = [&](const QByteArray &name, const QByteArray &value) {
        return HttpResponse::make(200, body).header(name, value).header("Accept-Ranges", "bytes");
    };
    auto chunked = plain;
    chunked.chunked = true;
    chunked.pieceSize = 10000;
    auto untilClose = plain;
    untilClose.omitContentLength = true;
    auto stalled = ranged("ETag", "\"v1\"");
    stalled.stallAfter = 100000;
    auto unanswered = plain;
    unanswered.noAnswer = true;
    auto dropped = plain;
    dropped.dropConnection = true;
    auto noRanges = HttpResponse::make(200, body).header("ETag", "\"v1\"");
    const QString cut = QStringLiteral("Transferred a partial file");

    QTest::newRow("200 with length") << QList{plain} << true << 200LL << 0LL << "" << false;
    QTest::newRow("200 chunked") << QList{chunked} << true << 200LL << 0LL << "" << false;
    QTest::newRow("200 until close") << QList{untilClose} << true << 200LL << 0LL << "" << false;
    QTest::newRow("299") << QList{HttpResponse::make(299, body)} << true << 299LL << 0LL << ""
                         << false;
    QTest::newRow("404") << QList{HttpResponse::make(404, "gone")} << false << 404LL << 0LL
                         << "Server returned HTTP 404" << false;
    QTest::newRow("300") << QList{HttpResponse::make(300, "pick")} << false << 300LL << 0LL
                         << "Server returned HTTP 300" << false;
    // 1xx is interim in HTTP: libcurl waits for a final response and finds none.
    QTest::newRow("199") << QList{HttpResponse::make(199, "x")} << false << 199LL
                         << qint64(CURLE_UNSUPPORTED_PROTOCOL) << "Unsupported protocol" << false;
    QTest::newRow("no HTTP response") << QList{dropped} << false << 0LL << qint64(CURLE_GOT_NOTHING)
                                      << "Server returned nothing" << false;
    QTest::newRow("redirect to another path")
        << QList{HttpResponse::redirect(302, "/moved/file"), plain} << true << 200LL << 0LL << ""
        << false;
    QTest::newRow("redirect to another scheme")
        << QList{HttpResponse::redirect(302, "https://127.0.0.1:1/file")} << false << 302LL
        << qint64(CURLE_UNSUPPORTED_PROTOCOL) << "Unsupported protocol" << false;
    QTest::newRow("cut, strong ETag") << QList{cutAfter(ranged("ETag", "\"v1\""), 100000)} << false
                                      << 200LL << qint64(CURLE_PARTIAL_FILE) << cut << true;
    QTest::newRow("cut, Last-Modified")
        << QList{cutAfter(ranged("Last-Modified", "Sun, 06 Dec 2026 08:00:00 GMT"), 100000)}
        << false << 200LL << qint64(CURLE_PARTIAL_FILE) << cut << true;
    QTest::newRow("cut, weak ETag")
        << QList{cutAfter(
               ranged("ETag", "W/\"v1\"").header("Last-Modified", "Sun, 06 Dec 2026 08:00:00 GMT"),
               100000)}
        << false << 200LL << qint64(CURLE_PARTIAL_FILE) << cut << false;
    QTest::newRow("cut, no validator") << QList{cutAfter(ranged("X-Other", "1"), 100000)} << false
                                       << 200LL << qint64(CURLE_PARTIAL_FILE) << cut << false;
    QTest::newRow("cut, no Accept-Ranges") << QList{cutAfter(noRanges, 100000)} << false << 200LL
                                           << qint64(CURLE_PARTIAL_FILE) << cut << false;
    QTest::newRow("cut, Accept-Ranges none")
        << QList{cutAfter(noRanges.header("Accept-Ranges", "none"), 100000)} << false << 200LL
        << qint64(CURLE_PARTIAL_FILE) << cut << false;
    QTest::newRow("stall past the low-speed limit")
        << QList{stalled} << false << 200LL << qint64(CURLE_OPERATION_TIMEDOUT)
        << "Timeout was reached" << true;
    QTest::newRow("request never answered")
        << QList{unanswered} << false << 0LL << qint64(CURLE_OPERATION_TIMEDOUT)
        << "Timeout was reached" << false;
    QTest::newRow("partial content not asked for")
        << QList{HttpResponse::make(206, body.left(1000))
                     .header("Content-Range", "bytes 0-999/262144")}
        << false << 206LL << qint64(CURLE_WEIRD_SERVER_REPLY) << "Weird server reply" << false;
}

void TestDownloader::outcomes()
{
    QFETCH(QList<HttpResponse>, responses);
    QFETCH(bool, ok);
    QFETCH(qint64, status);
    QFETCH(qint64, code);
    QFETCH(QString, message);
    QFETCH(bool, resumable);

    for (const auto &r : responses)
        m_server->enqueue(r);
    QFile old(dest()); // whatever was at the destination never survives a failure
    QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    old.close();
    const LogTail log;
    const DownloadRun run = DownloadRun::exec(m_server->url("/file"), dest(), {}, quickOptions);

    QVERIFY(run.completed);
    QVERIFY(run.released);
    QCOMPARE(run.ok, ok);
    QCOMPARE(run.httpStatus, status);
    QCOMPARE(run.errorCode, code);
    QVERIFY2(message.isEmpty() ? run.message == "" : run.message.startsWith(message),
             qPrintable(run.message));
    QCOMPARE(run.resumeData.has_value(), resumable);
    QCOMPARE(partials().size(), resumable ? 1 : 0);
    QCOMPARE(m_server->requests().value(0).header("User-Agent"), "QuillmarshOnlineInstaller/1.0");
    QCOMPARE(m_server->requests().value(0).hasHeader("Range"), false);

    const QString dl = QStringLiteral("DL: ");
    if (ok) {
        QVERIFY(run.message.isEmpty());
        QFile f(dest());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), responses.last().body);
        QCOMPARE(log.count(dl + "download complete"), 1);
    } else {
        QVERIFY(!QFile::exists(dest()));
    }
    const bool unknownSize = responses.last().chunked || responses.last().omitContentLength;
    const bool sizeSeen = !run.progress.isEmpty() && run.progress.first().second > 0;
    QCOMPARE(log.count(dl + "content length "), sizeSeen ? 1 : 0);
    QCOMPARE(sizeSeen, !run.progress.isEmpty() && !unknownSize);
    if (ok && !unknownSize) // the last piece of a known size is always delivered
        QCOMPARE(run.progress.last(), qMakePair(qint64(responses.last().body.size()),
                                                qint64(responses.last().body.size())));
    if (!ok && code == 0) {
        QCOMPARE(log.count(ITFormat("DL: HTTP %ld, moving to %@", status, dest())), 1);
        QCOMPARE(log.count(ITFormat("DL: HTTP %ld, treated as failure", status)), 1);
    }
    if (code != 0)
        QCOMPARE(log.count(ITFormat("DL: error %ld %@ (resume state: %lu bytes)", code, run.message,
                                    quint64(run.resumeData.value_or("").size()))),
                 1);
}

void TestDownloader::refusedConnection()
{
    const quint16 closedPort = m_server->port();
    m_server.reset(); // nobody listens there any more
    const DownloadRun run = DownloadRun::exec(
        QStringLiteral("http://127.0.0.1:%1/file").arg(closedPort), dest(), {}, quickOptions);
    QVERIFY(run.completed);
    QCOMPARE(run.errorCode, qint64(CURLE_COULDNT_CONNECT));
    QCOMPARE(run.httpStatus, 0);
    QVERIFY(!run.resumeData);
    QVERIFY(partials().isEmpty());
}

enum class Tamper {
    None,
    FileChanged,
    BlobAltered,
    BlobTruncated,
    BlobEmpty,
    PartialGrown,
    PartialSymlink
};
enum class Serve {
    Real,
    OtherTotal,
    StartsEarlier,
    BadContentRange,
    NoContentRange,
    Status416,
    OtherETag
};

void TestDownloader::resume_data()
{
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<Serve>("serve");
    QTest::addColumn<bool>("continued"); // the held bytes were kept and the rest appended
    QTest::addColumn<bool>("rangeAsked");
    QTest::addColumn<int>("requests");

    QTest::newRow("206 continues") << Tamper::None << Serve::Real << true << true << 1;
    QTest::newRow("file changed, 200") << Tamper::FileChanged << Serve::Real << false << true << 1;
    QTest::newRow("206 of another total")
        << Tamper::None << Serve::OtherTotal << false << true << 2;
    QTest::newRow("206 before the offset")
        << Tamper::None << Serve::StartsEarlier << false << true << 2;
    QTest::newRow("206 bad Content-Range")
        << Tamper::None << Serve::BadContentRange << false << true << 2;
    QTest::newRow("206 no Content-Range")
        << Tamper::None << Serve::NoContentRange << false << true << 2;
    QTest::newRow("416") << Tamper::None << Serve::Status416 << false << true << 2;
    QTest::newRow("206 of another ETag") << Tamper::None << Serve::OtherETag << false << true << 2;
    QTest::newRow("blob altered") << Tamper::BlobAltered << Serve::Real << false << false << 1;
    QTest::newRow("blob truncated") << Tamper::BlobTruncated << Serve::Real << false << false << 1;
    QTest::newRow("empty blob") << Tamper::BlobEmpty << Serve::Real << false << false << 1;
    QTest::newRow("partial file grew")
        << Tamper::PartialGrown << Serve::Real << false << false << 1;
    QTest::newRow("partial file is a link")
        << Tamper::PartialSymlink << Serve::Real << false << false << 1;
}

void TestDownloader::resume()
{
    QFETCH(Tamper, tamper);
    QFETCH(Serve, serve);
    QFETCH(bool, continued);
    QFETCH(bool, rangeAsked);
    QFETCH(int, requests);

    QTemporaryDir www;
    const QString file = www.filePath(QStringLiteral("image.dmg"));
    const qint64 size = 1 << 20, cut = size * 2 / 5;
    auto writeFile = [&](int seed) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(payload(int(size) + seed * 4).left(size));
        f.close();
        QVERIFY(f.open(QIODevice::ReadWrite));
        f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(seed),
                      QFileDevice::FileModificationTime);
    };
    writeFile(0);
    HttpRequest get{"GET", "/image.dmg", {}, {}};
    m_server->enqueue(cutAfter(TestHttpServer::fileResponse(get, file), cut));
    const DownloadRun first =
        DownloadRun::exec(m_server->url("/image.dmg"), dest(), {}, quickOptions);
    QCOMPARE(first.errorCode, qint64(CURLE_PARTIAL_FILE));
    QVERIFY(first.resumeData);
    QCOMPARE(partials().size(), 1);
    const QString partial = m_dir->filePath(partials().first());
    QCOMPARE(QFileInfo(partial).size(), cut);
    QCOMPARE(QFileInfo(partial).permissions() & 0x0077, 0);

    const QByteArray etag = TestHttpServer::fileETag(file);
    QByteArray blob = *first.resumeData;
    switch (tamper) {
    case Tamper::None:
        break;
    case Tamper::FileChanged:
        writeFile(7);
        break;
    case Tamper::BlobAltered:
        blob[blob.size() / 2] = char(blob[blob.size() / 2] ^ 1);
        break;
    case Tamper::BlobTruncated:
        blob.chop(5);
        break;
    case Tamper::BlobEmpty:
        blob.clear();
        break;
    case Tamper::PartialGrown: {
        QFile f(partial);
        QVERIFY(f.open(QIODevice::Append) && f.write("x") == 1);
        break;
    }
    case Tamper::PartialSymlink:
        QVERIFY(QFile::rename(partial, partial + ".real"));
        QVERIFY(QFile::link(partial + ".real", partial));
        break;
    }

    m_server->clearRequests();
    m_server->setHandler([&](const HttpRequest &req) {
        const bool ranged = req.hasHeader("Range");
        HttpResponse r = TestHttpServer::fileResponse(req, file);
        if (!ranged)
            return r;
        switch (serve) {
        case Serve::Real:
            break;
        case Serve::OtherTotal:
            r.removeHeader("Content-Range");
            r.header("Content-Range", "bytes " + QByteArray::number(cut) + '-' +
                                          QByteArray::number(size + 99) + '/' +
                                          QByteArray::number(size + 100));
            r.body += QByteArray(100, 'x');
            break;
        case Serve::StartsEarlier: {
            HttpRequest earlier = req;
            earlier.headers = {{"Range", "bytes=" + QByteArray::number(cut - 100) + '-'}};
            r = TestHttpServer::fileResponse(earlier, file);
            break;
        }
        case Serve::BadContentRange:
            r.removeHeader("Content-Range");
            r.header("Content-Range", "bytes abc");
            break;
        case Serve::NoContentRange:
            r.removeHeader("Content-Range");
            break;
        case Serve::Status416:
            r = HttpResponse::make(416).header("Content-Range",
                                               "bytes */" + QByteArray::number(size));
            break;
        case Serve::OtherETag:
            r.removeHeader("ETag");
            r.header("ETag", "\"other\"");
            break;
        }
        return r;
    });
    const LogTail log;
    const DownloadRun second =
        DownloadRun::exec(m_server->url("/image.dmg"), dest(), blob, quickOptions);
    QVERIFY2(second.ok, qPrintable(second.message));
    QCOMPARE(sha256Of(dest()), sha256Of(file));
    QCOMPARE(partials(), QStringList());
    const QList<HttpRequest> seen = m_server->requests();
    QCOMPARE(seen.size(), requests);
    QCOMPARE(seen.first().hasHeader("Range"), rangeAsked);
    if (rangeAsked) {
        QCOMPARE(seen.first().header("Range"), "bytes=" + QByteArray::number(cut) + '-');
        QCOMPARE(seen.first().header("If-Range"), etag);
    }
    if (requests > 1)
        QVERIFY(!seen.last().hasHeader("Range"));
    QCOMPARE(log.count(ITFormat("DL: RESUME %@ -> %@ (%lu bytes of state)",
                                m_server->url("/image.dmg"), dest(), quint64(blob.size()))),
             1);
    QCOMPARE(log.count(ITFormat("DL: resumed at offset %lld / %lld", cut, size)),
             continued ? 1 : 0);
    // Progress counts the whole file: a continued attempt starts beyond the held bytes.
    QCOMPARE(second.progress.first().first > cut, continued);
    QCOMPARE(second.progress.first().second, size);
    QCOMPARE(second.progress.last(), qMakePair(size, size));
}

void TestDownloader::cancel_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("during the transfer") << "progress";
    QTest::newRow("after the file landed") << "landed";
    QTest::newRow("while waiting for a network") << "offline";
}

void TestDownloader::cancel()
{
    QFETCH(QString, when);
    auto slow = HttpResponse::make(200, payload(1 << 20))
                    .header("ETag", "\"v1\"")
                    .header("Accept-Ranges", "bytes");
    slow.pieceSize = 16384;
    slow.pieceDelayMs = when == "progress" ? 20 : 0;
    m_server->enqueue(slow);
    QString url = m_server->url("/file");
    const LogTail log;
    DownloadRun run;
    if (when == "progress") {
        run = DownloadRun::exec(url, dest(), {}, quickOptions,
                                [](Downloader &dl, const DownloadRun &) { dl.cancel(); });
    } else if (when == "landed") {
        run = DownloadRun::exec(url, dest(), {}, [](Downloader &dl) {
            Downloader::Options o = quick();
            o.afterFileLanded = [&dl] {
                QVERIFY(QFile::exists(dl.destFile()));
                dl.cancel();
            };
            dl.setOptions(o);
        });
    } else {
        url = QStringLiteral("http://download.quillmarsh.invalid/file");
        run = DownloadRun::exec(url, dest(), {}, [](Downloader &dl) {
            Downloader::Options o = quick();
            o.networkAvailable = [] { return false; };
            o.connectivityPollMs = 20;
            dl.setOptions(o);
            QTimer::singleShot(50, [&dl] { dl.cancel(); });
        });
    }
    QVERIFY(run.completed);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.message, QStringLiteral("Download cancelled."));
    QCOMPARE(run.errorCode, 0);
    QVERIFY(!run.resumeData);
    QCOMPARE(run.progressAfterCancel, 0);
    QVERIFY(run.progress.size() <= 1);
    QVERIFY(!QFile::exists(dest()));
    QVERIFY(partials().isEmpty());
    QCOMPARE(log.count("DL: cancelled by user, partial file deleted"), 1);
}

void TestDownloader::failedMove()
{
    QVERIFY(QDir().mkpath(dest() + "/occupied"));
    m_server->enqueue(HttpResponse::make(200, payload(4096)));
    const LogTail log;
    const DownloadRun run = DownloadRun::exec(m_server->url("/file"), dest(), {}, quickOptions);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.message, QStringLiteral("Downloaded file could not be saved."));
    QCOMPARE(run.httpStatus, 200);
    QCOMPARE(run.errorCode, 0);
    QCOMPARE(log.count("DL: move FAILED: "), 1);
    QCOMPARE(log.count("DL: download complete"), 0);
    QVERIFY(partials().isEmpty());
}

void TestDownloader::withoutHandlers()
{
    m_server->enqueue(HttpResponse::make(200, payload(4096)));
    std::weak_ptr<Downloader> weak;
    {
        auto dl = Downloader::create(m_server->url("/file"), dest());
        weak = dl;
        dl->start();
    }
    QTRY_VERIFY_WITH_TIMEOUT(weak.expired(), 10000);
    QCOMPARE(QFileInfo(dest()).size(), 4096);
}

void TestDownloader::writeFailure()
{
    // A file-size limit makes the disk refuse writes past 64 KiB, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    m_server->enqueue(HttpResponse::make(200, payload(512 * 1024))
                          .header("ETag", "\"v1\"")
                          .header("Accept-Ranges", "bytes"));
    const DownloadRun run = DownloadRun::exec(m_server->url("/file"), dest(), {}, quickOptions);
    setrlimit(RLIMIT_FSIZE, &saved);
    QCOMPARE(run.ok, false);
    QCOMPARE(run.errorCode, qint64(CURLE_WRITE_ERROR));
    QVERIFY2(run.message.endsWith(qt_error_string(EFBIG)), qPrintable(run.message));
    QVERIFY(!run.resumeData);
    QVERIFY(!QFile::exists(dest()));
    QVERIFY(partials().isEmpty());
}

void TestDownloader::connectivityWait()
{
    auto offline = [](Downloader &dl) {
        Downloader::Options o = quick();
        o.totalTimeoutSeconds = 1;
        o.networkAvailable = [] { return false; };
        o.connectivityPollMs = 50;
        dl.setOptions(o);
    };
    {
        const LogTail log;
        const DownloadRun run = DownloadRun::exec(
            QStringLiteral("http://download.quillmarsh.invalid/file"), dest(), {}, offline);
        QCOMPARE(run.errorCode, qint64(CURLE_OPERATION_TIMEDOUT));
        QCOMPARE(run.httpStatus, 0);
        QCOMPARE(log.count("DL: waiting for connectivity..."), 1);
    }
    {
        // This machine itself is always reachable.
        m_server->enqueue(HttpResponse::make(200, "x"));
        const LogTail log;
        const DownloadRun run = DownloadRun::exec(m_server->url("/file"), dest(), {}, offline);
        QVERIFY(run.ok);
        QCOMPARE(log.count("DL: waiting for connectivity..."), 0);
    }
}

void TestDownloader::throttle_data()
{
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QList<qint64>>("written");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QList<bool>>("delivered");
    QTest::newRow("first one, whenever")
        << QList<double>{0.0} << QList<qint64>{1} << 100LL << QList<bool>{true};
    QTest::newRow("50 ms later dropped")
        << QList<double>{5.0, 5.05} << QList<qint64>{1, 2} << 100LL << QList<bool>{true, false};
    QTest::newRow("50 ms later completes")
        << QList<double>{5.0, 5.05} << QList<qint64>{1, 100} << 100LL << QList<bool>{true, true};
    QTest::newRow("unknown size never completes")
        << QList<double>{5.0, 5.0625, 5.125} << QList<qint64>{1, 100, 200} << -1LL
        << QList<bool>{true, false, true};
    QTest::newRow("interval from the last delivery")
        << QList<double>{1.0, 1.0625, 1.125, 1.1875, 1.25} << QList<qint64>{1, 2, 3, 4, 5} << 100LL
        << QList<bool>{true, false, true, false, true};
}

void TestDownloader::throttle()
{
    QFETCH(QList<double>, times);
    QFETCH(QList<qint64>, written);
    QFETCH(qint64, total);
    QFETCH(QList<bool>, delivered);
    ProgressThrottle t;
    for (int i = 0; i < times.size(); ++i)
        QCOMPARE(t.shouldDeliver(written[i], total, times[i]), delivered[i]);
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
