#include "downloadrun.h"
#include "tcpfaultproxy.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::TcpFaultProxy;

// Under ThreadSanitizer, starting nginx with QProcess makes the runtime treat this process as
// a forked child and refuse the download's worker thread afterwards; nothing is forked here
// that runs our code, so that check is off. Unused in other builds.
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}

namespace {

quint16 freeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

bool canConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

void writeImage(const QString &path, int seed, qint64 size)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QRandomGenerator gen(seed);
    QByteArray block(64 * 1024, Qt::Uninitialized);
    for (qint64 at = 0; at < size; at += block.size()) {
        gen.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        f.write(block);
    }
    f.close();
    // A new version of the file must look new to nginx: its ETag is built from mtime and size.
    QVERIFY(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTimeUtc().addSecs(seed * 10),
                  QFileDevice::FileModificationTime);
}

} // namespace

// The real server's Range, ETag and If-Range behaviour, through a relay that drops the
// connection part-way.
class TestDownloadNginx : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QProcess m_nginx;
    quint16 m_port = 0;
    QString image() const { return m_root.filePath("www/quillmarsh.dmg"); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void resumeThroughCuts_data();
    void resumeThroughCuts();
};

void TestDownloadNginx::initTestCase()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const QString nginx = QStandardPaths::findExecutable(
        "nginx", {"/usr/sbin", "/usr/local/sbin", "/usr/bin", "/sbin"});
    if (nginx.isEmpty())
        QSKIP("nginx is not installed (Debian package nginx-light); skipping the nginx test");
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath("www"));
    QVERIFY(QDir(m_root.path()).mkpath("tmp"));
    m_port = freeLoopbackPort();
    const QString r = m_root.path();
    const QString conf = QStringLiteral("%1"
                                        "worker_processes 1;\n"
                                        "daemon off;\n"
                                        "pid %2/nginx.pid;\n"
                                        "error_log %2/error.log;\n"
                                        "events { worker_connections 64; }\n"
                                        "http {\n"
                                        "  access_log %2/access.log;\n"
                                        "  client_body_temp_path %2/tmp/body;\n"
                                        "  proxy_temp_path %2/tmp/proxy;\n"
                                        "  fastcgi_temp_path %2/tmp/fastcgi;\n"
                                        "  uwsgi_temp_path %2/tmp/uwsgi;\n"
                                        "  scgi_temp_path %2/tmp/scgi;\n"
                                        "  server {\n"
                                        "    listen 127.0.0.1:%3;\n"
                                        "    root %2/www;\n"
                                        "  }\n"
                                        "}\n")
                             .arg(::geteuid() == 0 ? "user root;\n" : "", r)
                             .arg(m_port);
    QFile f(r + "/nginx.conf");
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(conf.toUtf8()) > 0);
    f.close();
    m_nginx.setProcessChannelMode(QProcess::MergedChannels);
    m_nginx.start(nginx, {"-p", r, "-c", r + "/nginx.conf"});
    QVERIFY2(m_nginx.waitForStarted(5000), qPrintable(m_nginx.errorString()));
    QVERIFY2(
        QTest::qWaitFor([&] { return canConnect(m_port) || m_nginx.state() != QProcess::Running; },
                        10000) &&
            m_nginx.state() == QProcess::Running,
        m_nginx.readAll().constData());
}

void TestDownloadNginx::cleanupTestCase()
{
    if (m_nginx.state() == QProcess::Running) {
        m_nginx.terminate();
        if (!m_nginx.waitForFinished(5000))
            m_nginx.kill();
        m_nginx.waitForFinished(5000);
    }
}

void TestDownloadNginx::resumeThroughCuts_data()
{
    QTest::addColumn<QList<double>>("cuts"); // fractions of the file, one per attempt
    QTest::addColumn<bool>("replaced");      // a new version of the file after the first cut
    QTest::newRow("cut at 40 %") << QList<double>{0.4} << false;
    QTest::newRow("cut twice") << QList<double>{0.3, 0.6} << false;
    QTest::newRow("file replaced after the cut") << QList<double>{0.5} << true;
}

void TestDownloadNginx::resumeThroughCuts()
{
    QFETCH(QList<double>, cuts);
    QFETCH(bool, replaced);
    const qint64 size = 8 << 20;
    writeImage(image(), 1, size);
    QTemporaryDir out;
    const QString dest = out.filePath("quillmarsh_setup.dmg");

    TcpFaultProxy proxy(m_port);
    QVERIFY(proxy.isListening());
    for (double cut : cuts)
        proxy.cutNextAfter(qint64(cut * size));
    const QString url = QStringLiteral("http://127.0.0.1:%1/quillmarsh.dmg").arg(proxy.port());
    const LogTail log;

    std::optional<QByteArray> resume;
    for (int attempt = 0; attempt < cuts.size(); ++attempt) {
        const DownloadRun run = DownloadRun::exec(url, dest, resume);
        QVERIFY(run.completed);
        QCOMPARE(run.ok, false);
        QCOMPARE(run.errorCode, qint64(CURLE_PARTIAL_FILE));
        QVERIFY2(run.resumeData, "nginx sends a strong ETag and Accept-Ranges: bytes");
        resume = run.resumeData;
    }
    if (replaced)
        writeImage(image(), 2, size);
    const DownloadRun last = DownloadRun::exec(url, dest, resume);
    QVERIFY2(last.ok, qPrintable(last.message));
    QCOMPARE(last.httpStatus, replaced ? 200 : 206);
    QCOMPARE(sha256Of(dest), sha256Of(image()));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files), QStringList{"quillmarsh_setup.dmg"});
    QCOMPARE(log.count("DL: resumed at offset "), replaced ? 0 : int(cuts.size()));
}

QTEST_GUILESS_MAIN(TestDownloadNginx)
#include "tst_download_nginx.moc"
