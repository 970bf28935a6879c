// Whole installs (qm-envrun) against a server that spoils each request for the image with a
// fault drawn at random. Beside the server runs a model of the retry and resume rules; it says,
// request by request, which byte the next request must start at and how the run must end
// (installed, the image refused with the digest of exactly one whole version, or given up).
#include "soak.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <mutex>

namespace soak {
namespace {

// The faults a request may meet, and how often each is drawn; a busy server answers one of
// kBusy.
// clang-format off
enum Fault { None, Reset, Truncated, Stall, Trickle, Busy, Http416, NewVersion, OverlongLength, OverlongClose, Unexpected200 };
const char *const kFaults[] = {"none", "connection reset", "truncated body", "stall", "trickle", "busy", "416", "new version (ETag changed)", "over-long body (length sent)", "over-long body (no length)", "200 to a range request"};
const double kWeights[] = {30, 6, 6, 3, 4, 15, 4, 6, 4, 2, 5};
// clang-format on
constexpr int kBusy[] = {500, 502, 503, 408, 429};
// The first of two download hosts may be down for a whole run, in one of these ways; "up": the
// run has the second host alone. The second host is the one whose faults the model follows.
// (A silent or stalling first host is raced by the second: tst_flow has its rows.)
// clang-format off
enum Outage { Up, Refused, NotFound, Unavailable };
const char *const kOutages[] = {"up", "refusing", "404", "503"};
const double kOutageWeights[] = {50, 20, 20, 10};
// clang-format on
constexpr int kMaxRetries = 3;
constexpr int kVersions = 8; // new versions a run may see

// The run as the retry and resume rules see it, advanced by each request's fault.
struct Model
{
    explicit Model(Draw d) : draw(d) {}
    Draw draw;
    int version = 0, versions = 0, retries = 0;
    // Per file (the image, the .sig): the byte the next request must start at, and after a reset
    // what surely arrived (a reset may lose bytes not yet read).
    qint64 held[2] = {}, floor[2] = {};
    bool sigDone = false; // the image is fetched once its .sig is in, with retries of its own
    int outage = Up;
    bool clean = false;     // no faults on the second host: the run's time is measured
    bool leftFirst = false; // the second host has been asked
    QString expected;       // set once the run's end is decided
    QStringList trail, problems;

    void transient()
    {
        if (retries < kMaxRetries)
            ++retries;
        else
            expected = QStringLiteral("gave up after %1 retries").arg(retries);
    }
};

// How the run ended, in the model's words, from the setup log. (A final answer such as a 416
// to a whole-file request gives up before the retries are spent.)
QString outcomeIn(const QString &log)
{
    static const QRegularExpression refused(
        "image verification FAILED: (sha256 is [0-9a-f]+|size is at least|malformed|"
        "no signature file \\(HTTP \\d+\\))");
    static const QRegularExpression gaveUp("download FAILED after (\\d+) retries");
    if (log.contains("FLOW: install SUCCESS"))
        return QStringLiteral("installed");
    if (const auto m = refused.match(log); m.hasMatch())
        return "refused: " + m.captured(1);
    if (const auto m = gaveUp.match(log); m.hasMatch())
        return "gave up after " + m.captured(1) + " retries";
    return "no end in the log";
}

class NetSoak : public Part
{
public:
    // Versions of the image, each with its own modification time, hence its own ETag and
    // Last-Modified: even ones the signed bytes, odd ones with a byte changed. The first under
    // the name the installer asks for.
    explicit NetSoak(quint64 seed) : m_seed(seed)
    {
        repeat = "--kills 0 --net 1";
        QFile sample(QM_SAMPLE_IMAGE_DIR "/quillmarsh.dmg");
        const QByteArray bytes = sample.open(QIODevice::ReadOnly) ? sample.readAll() : "";
        const QDateTime base = QDateTime::currentDateTimeUtc().addDays(-1);
        for (int k = 0; k < 2 * (kVersions + 1); ++k) {
            QByteArray content = bytes;
            content[content.size() / 2 + k / 2] ^= char(k % 2 ? 0x5a : 0);
            QFile f(path(k));
            // Flushed before the time is set: closing with bytes still buffered would stamp
            // the file with the present, and versions written in one millisecond would share
            // an ETag, so the server would continue one version with another.
            if (bytes.isEmpty() || !f.open(QIODevice::WriteOnly) ||
                f.write(content) != bytes.size() || !f.flush() ||
                !f.setFileTime(base.addSecs(k * 10), QFileDevice::FileModificationTime))
                failed = "cannot write the image's versions";
            m_sha256 << QCryptographicHash::hash(content, QCryptographicHash::Sha256);
        }
        if ((m_key = signReleases(m_dir.path(), {path(0)})).isEmpty())
            failed = "cannot sign the image";
        m_server.setHandler([this](const HttpRequest &r) { return answer(r); });
    }
    QStringList runCase(int index) override;

private:
    QString path(int k) const
    {
        return m_dir.filePath(k ? QStringLiteral("v%1.dmg").arg(k) : "quillmarsh.dmg");
    }
    HttpResponse answer(const HttpRequest &request);

    quint64 m_seed;
    QTemporaryDir m_dir;
    QByteArray m_key;
    QList<QByteArray> m_sha256; // of each version
    TestHttpServer m_server;
    std::mutex m_lock;
    Model m_model{Draw(0, 0, 0)}; // of the case that runs
};

HttpResponse NetSoak::answer(const HttpRequest &request)
{
    std::lock_guard lock(m_lock);
    Model &m = m_model;
    // The first host, down as the case drew it.
    if (request.path().startsWith("/a/")) {
        if (m.leftFirst || m.outage == Up)
            m.problems << "the first host asked after the second one";
        ++counts[QStringLiteral("request to the first host, %1").arg(kOutages[m.outage])];
        return HttpResponse::make(m.outage == NotFound ? 404 : 503);
    }
    m.leftFirst = true;
    const bool sig = request.path() == "/b/quillmarsh.dmg.sig";
    if (!sig && request.path() != "/b/quillmarsh.dmg")
        return HttpResponse::make(404);
    qint64 &held = m.held[sig], &floor = m.floor[sig];
    static const QRegularExpression range("^bytes=(\\d+)-$");
    const qint64 from = range.match(request.header("Range")).captured(1).toLongLong();
    if (!m.expected.isEmpty())
        m.problems << "a request after the end was decided (" + m.expected + ")";
    if (sig == m.sigDone)
        m.problems << (sig ? "the .sig asked for again" : "the image asked for before its .sig");
    if (from > held || from < floor)
        m.problems << QStringLiteral("request %1 starts at byte %2, the client holds %3")
                          .arg(QString::number(m.trail.size() + 1), QString::number(from),
                               QString::number(held));

    int fault =
        std::discrete_distribution<int>(std::begin(kWeights), std::end(kWeights))(m.draw.rng);
    if (m.clean)
        fault = None;
    // A release's .sig does not change while it is fetched.
    if (fault == NewVersion && (sig || m.versions == kVersions))
        fault = Truncated;
    if (fault == NewVersion)
        m.version = ++m.versions * 2 + int(m.draw.below(2)); // even: the signed bytes again
    const int busy = kBusy[m.draw.below(std::size(kBusy))];
    m.trail << QStringLiteral("%1%2@%3")
                   .arg(sig ? ".sig " : "",
                        fault == Busy ? QString::number(busy) : QString(kFaults[fault]))
                   .arg(from);

    HttpRequest asked = request;
    if (fault == Unexpected200)
        asked.headers.removeIf([](const auto &h) {
            return h.first.toLower().startsWith("range") || h.first.toLower() == "if-range";
        });
    const QString file = sig ? path(0) + ".sig" : path(m.version);
    HttpResponse r = TestHttpServer::fileResponse(asked, file);
    const qint64 start = r.status == 206 ? from : 0;
    // Short of the whole body; at 0 only the headers arrive and the client learns nothing new.
    const qint64 cut = m.draw.below(qMax<qint64>(1, r.body.size()));
    const auto completes = [&] {
        if (sig)
            m.sigDone = true, m.retries = 0;
        else
            m.expected = m.version % 2 ? "refused: sha256 is " + m_sha256[m.version].toHex()
                                       : QString("installed");
    };
    switch (Fault(fault)) {
    case Reset:
    case Truncated:
    case Stall:
    case NewVersion:
        (fault == Stall ? r.stallAfter : r.closeAfter) = cut;
        r.resetOnClose = fault == Reset;
        if (cut > 0) {
            held = start + cut;
            floor = fault == Reset ? start : held;
        }
        m.transient();
        break;
    case Busy:
        r = HttpResponse::make(busy, "busy\n");
        m.transient();
        break;
    case Http416:
        r = HttpResponse::make(416).header("Content-Range",
                                           "bytes */" + QByteArray::number(QFileInfo(file).size()));
        // Asked for a range: the same attempt starts over; otherwise the answer is final.
        if (from > 0)
            held = floor = 0;
        else
            m.expected = sig ? QStringLiteral("refused: no signature file (HTTP 416)")
                             : QStringLiteral("gave up after %1 retries").arg(m.retries);
        break;
    case OverlongLength: // the file's length, and more bytes after the file
        r.header("Content-Length", QByteArray::number(r.body.size()));
        r.body += QByteArray(4096, 'x');
        completes();
        break;
    case OverlongClose: // no length: a longer file
        r.omitContentLength = true;
        r.body += QByteArray(4096, 'x');
        m.expected = sig ? "refused: malformed" : "refused: size is at least";
        break;
    case Trickle:
        r.pieceSize = 16384;
        r.pieceDelayMs = 20;
        completes();
        break;
    case None:
    case Unexpected200:
        completes();
        break;
    }
    return r;
}

QStringList NetSoak::runCase(int index)
{
    int outage = Up;
    {
        std::lock_guard lock(m_lock);
        m_model = Model(Draw(m_seed, 2, index));
        outage = m_model.outage = std::discrete_distribution<int>(
            std::begin(kOutageWeights), std::end(kOutageWeights))(m_model.draw.rng);
        m_model.clean = index % 5 == 0;
    }
    const QString first =
        outage == Refused ? QStringLiteral("http://127.0.0.1:1") : m_server.url("/a");
    const QString hosts = (outage == Up ? QString() : first + ' ') + m_server.url("/b");
    const QString apps = m_dir.filePath("apps"), logPath = m_dir.path() + kSetupLog;
    const qint64 logFrom = QFileInfo(logPath).size();
    // Its log, menu entries and caches in the soak's folder; a stall ends an attempt soon.
    QElapsedTimer clock;
    clock.start();
    shell("HOME=\"$1\" XDG_STATE_HOME= XDG_CACHE_HOME= XDG_DATA_HOME= QM_ENV_LOW_SPEED_SECONDS=1 "
          "QM_ENV_IMAGE_KEY=\"$2\" \"$3\" \"$4\" \"$5\"",
          {m_dir.path(), m_key, QM_ENVRUN, hosts, apps});
    const qint64 ms = clock.elapsed();
    const QString log = readText(logPath, logFrom), got = outcomeIn(log);
    std::lock_guard lock(m_lock);
    const Model &m = m_model;
    QStringList problems = m.problems;
    if (m.clean && got == "installed")
        outageMs[kOutages[outage]] << ms;
    if (outage != Up && !log.contains("FLOW: leaving download host " + first))
        problems << "the first host, " + QString(kOutages[outage]) + ", was not left";
    if (got != m.expected)
        problems << "ended \"" + got + "\", the rules say \"" + m.expected + "\"";
    if (got == "installed" && describeTree(apps + "/Quillmarsh.app") != describeTree(QM_SAMPLE_APP))
        problems << "installed bundle differs from the image's";
    if (const QString left = entries(m_dir.path() + kPrivateFolder); !left.isEmpty())
        problems << "left in the private folder: " + left;
    for (const QString &step : m.trail)
        ++counts["request: " + step.section('@', 0, 0)];
    ++counts["outcome: " + got.section(':', 0, 0)];
    if (!problems.isEmpty())
        problems << "requests: " + m.trail.join(", ") + "\nlog:\n" + log.right(3000);
    QDir(apps).removeRecursively();
    return problems;
}

} // namespace

std::unique_ptr<Part> netSoak(quint64 seed)
{
    return std::make_unique<NetSoak>(seed);
}

} // namespace soak
