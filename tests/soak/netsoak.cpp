// Whole installs (qm-envrun) from one host that spoils each request with a fault drawn at random,
// beside a model of the retry and resume rules: the byte each request must start at, and how the
// run must end (installed, refused with the digest of one whole version, or given up).
#include "soak.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <mutex>

namespace soak {

// The faults a request may meet, and how often each is drawn; the last five: a busy server.
// clang-format off
enum Fault { None, Reset, Truncated, Stall, NewVersion, Trickle, Http416, OverlongLength, OverlongClose, Unexpected200, Busy };
const char *const kFaults[] = {"none", "connection reset", "truncated body", "stall", "new version (ETag changed)", "trickle", "416", "over-long body (length sent)", "over-long body (no length)", "200 to a range request", "500", "502", "503", "408", "429"};
const double kWeights[] = {30, 6, 6, 3, 6, 4, 4, 4, 2, 5, 3, 3, 3, 3, 3};
// clang-format on
constexpr int kMaxRetries = 3;
constexpr int kVersions = 8; // new versions a run may see

// The run as the retry and resume rules see it, advanced by each request's fault.
struct Model
{
    std::mt19937_64 rng;
    int version = 0, versions = 0, retries = 0;
    // Per file (image, .sig): where the next request must start; after a reset, what surely came.
    qint64 held[2] = {}, floor[2] = {};
    bool sigDone = false; // the image is fetched once its .sig is in, with retries of its own
    QString expected;     // set once the run's end is decided
    QStringList trail, problems;

    qint64 below(qint64 n) { return qint64(rng() % quint64(n)); }
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
    static const QRegularExpression end(
        "FLOW: install SUCCESS|image verification FAILED: (sha256 is [0-9a-f]+|size is at least|"
        "malformed|no signature file \\(HTTP \\d+\\))|download FAILED after (\\d+) retries");
    const auto m = end.match(log);
    return !m.hasMatch()      ? "no end in the log"
           : m.hasCaptured(1) ? "refused: " + m.captured(1)
           : m.hasCaptured(2) ? "gave up after " + m.captured(2) + " retries"
                              : "installed";
}

void netSoak(const Cases &cases)
{
    const QString options = "--kills 0 --net 1";
    QTemporaryDir dir;
    // The first under the name the installer asks for, which its .sig names.
    const auto path = [&](int k) {
        return dir.filePath(k ? QStringLiteral("v%1.dmg").arg(k) : "quillmarsh.dmg");
    };
    // Versions of the image, each with its own modification time, hence its own ETag and
    // Last-Modified: even ones the signed bytes, odd ones with a byte changed.
    const QByteArray bytes = readFile(QM_SAMPLE_IMAGE_DIR "/quillmarsh.dmg");
    const QDateTime base = QDateTime::currentDateTimeUtc().addDays(-1);
    for (int k = 0; k < 2 * (kVersions + 1); ++k) {
        QByteArray content = bytes;
        content[content.size() / 2 + k / 2] ^= char(k % 2 ? 0x5a : 0);
        // Stamped apart: versions written in one millisecond would share an ETag, and the
        // server would continue one version with another.
        QFile f(path(k));
        if (bytes.isEmpty() || !writeFile(path(k), content) || !f.open(QIODevice::Append) ||
            !f.setFileTime(base.addSecs(k * 10), QFile::FileModificationTime))
            return cases.report("network soak", options, 0, {"set-up: cannot write the versions"});
    }
    const QByteArray key = signImages(dir.filePath("key.pem"), {{path(0), 1}});
    if (key.isEmpty())
        return cases.report("network soak", options, 0, {"set-up: cannot sign the image"});
    std::mutex lock;
    Model model; // of the case that runs
    TestHttpServer server;
    server.setHandler([&](const HttpRequest &request) {
        std::lock_guard locked(lock);
        Model &m = model;
        const bool sig = request.path() == "/quillmarsh.dmg.sig";
        if (!sig && request.path() != "/quillmarsh.dmg")
            return HttpResponse::make(404);
        qint64 &held = m.held[sig], &floor = m.floor[sig];
        static const QRegularExpression range("^bytes=(\\d+)-$");
        const qint64 from = range.match(request.header("Range")).captured(1).toLongLong();
        if (!m.expected.isEmpty())
            m.problems << "a request after the end was decided (" + m.expected + ")";
        if (sig == m.sigDone)
            m.problems << (sig ? "the .sig asked for again"
                               : "the image asked for before its .sig");
        if (from > held || from < floor)
            m.problems << QStringLiteral("request %1 starts at byte %2, the client holds %3")
                              .arg(m.trail.size() + 1)
                              .arg(from)
                              .arg(held);

        int fault =
            std::discrete_distribution<int>(std::begin(kWeights), std::end(kWeights))(m.rng);
        // A release's .sig does not change while it is fetched.
        if (fault == NewVersion && (sig || m.versions == kVersions))
            fault = Truncated;
        if (fault == NewVersion)
            m.version = ++m.versions * 2 + int(m.below(2)); // even: the signed bytes again
        m.trail << QStringLiteral("%1%2@%3").arg(sig ? ".sig " : "", kFaults[fault]).arg(from);

        HttpRequest asked = request;
        if (fault == Unexpected200)
            asked.headers.removeIf([](const auto &h) {
                return h.first.toLower().startsWith("range") || h.first.toLower() == "if-range";
            });
        const QString file = sig ? path(0) + ".sig" : path(m.version);
        HttpResponse r = TestHttpServer::fileResponse(asked, file);
        const qint64 start = r.status == 206 ? from : 0;
        // Short of the whole body; at 0 only the headers arrive and the client learns nothing.
        const qint64 cut = m.below(qMax<qint64>(1, r.body.size()));
        if (fault <= NewVersion && fault != None) { // cut short
            (fault == Stall ? r.stallAfter : r.closeAfter) = cut;
            r.resetOnClose = fault == Reset;
            held = cut > 0 ? start + cut : held;
            floor = cut > 0 ? (fault == Reset ? start : held) : floor;
            m.transient();
        } else if (fault >= Busy) {
            r = HttpResponse::make(QByteArray(kFaults[fault]).toInt(), "busy\n");
            m.transient();
        } else if (fault == Http416) {
            r = HttpResponse::make(416).header(
                "Content-Range", "bytes */" + QByteArray::number(QFileInfo(file).size()));
            // Asked for a range: the same attempt starts over; otherwise the answer is final.
            if (from > 0)
                held = floor = 0;
            else
                m.expected = sig ? QStringLiteral("refused: no signature file (HTTP 416)")
                                 : QStringLiteral("gave up after %1 retries").arg(m.retries);
        } else if (fault == OverlongClose) { // no length: a longer file
            r.omitContentLength = true;
            r.body += QByteArray(4096, 'x');
            m.expected = sig ? "refused: malformed" : "refused: size is at least";
        } else { // whole: the file's length and more bytes after it, slowly, or as asked
            if (fault == OverlongLength)
                r.header("Content-Length", QByteArray::number(r.body.size())).body +=
                    QByteArray(4096, 'x');
            if (fault == Trickle)
                r.pieceSize = 16384, r.pieceDelayMs = 20;
            if (sig)
                m.sigDone = true, m.retries = 0;
            else
                m.expected = m.version % 2 ? "refused: sha256 is " + sha256Of(file) : "installed";
        }
        return r;
    });

    cases.run("network soak", options, [&](int index) {
        {
            std::lock_guard locked(lock);
            model = Model();
            model.rng = drawsFor(cases.seed, 2, index);
        }
        // Its log, menu entries and caches in the soak's folder; a stall ends an attempt soon.
        const QString apps = dir.filePath("apps"), logPath = dir.path() + kSetupLog;
        const qint64 logFrom = QFileInfo(logPath).size();
        shell("HOME=\"$1\" XDG_STATE_HOME= XDG_CACHE_HOME= XDG_DATA_HOME= "
              "QM_ENV_LOW_SPEED_SECONDS=1 QM_ENV_IMAGE_KEY=\"$2\" \"$3\" \"$4\" \"$5\"",
              {dir.path(), key, QM_ENVRUN, server.url({}), apps});
        const QString log = readText(logPath, logFrom), got = outcomeIn(log);
        std::lock_guard locked(lock);
        QStringList problems = model.problems;
        if (got != model.expected)
            problems << "ended \"" + got + "\", the rules say \"" + model.expected + "\"";
        if (got == "installed" &&
            describeTree(apps + "/Quillmarsh.app") != describeTree(QM_SAMPLE_APP))
            problems << "installed bundle differs from the image's";
        if (const QString left = entries(dir.path() + kPrivateFolder); !left.isEmpty())
            problems << "left in the private folder: " + left;
        for (const QString &step : model.trail)
            ++counts["request: " + step.section('@', 0, 0)];
        ++counts["outcome: " + got.section(':', 0, 0)];
        if (!problems.isEmpty())
            problems << "requests: " + model.trail.join(", ") + "\nlog:\n" + log.right(3000);
        QDir(apps).removeRecursively();
        return problems;
    });
}

} // namespace soak
