// The setup flow in this process against a server that spoils each request for the image with
// a fault drawn at random. Beside the server runs a model of the retry and resume rules; it
// says, request by request, which byte the next request must start at and how the run must end
// (installed, the image refused with the digest of exactly one whole version, or given up).
#include "controller/realstages.h"
#include "controller/setupflow.h"
#include "diag/analytics.h"
#include "diag/itlog.h"
#include "platform/paths.h"
#include "soak.h"
#include "testhttpserver.h"
#include "testkeys.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <mutex>
#include <numeric>

using namespace testsupport;

namespace soak {
namespace {

// The faults a request for the image may meet, and how often each is drawn.
// clang-format off
enum Fault {
    None, Reset, Truncated, Stall, Trickle, Http500, Http502, Http503, Http408, Http429, Http416,
    NewVersion, OverlongLength, OverlongClose, Unexpected200
};
// clang-format on
struct FaultKind
{
    Fault fault;
    const char *name;
    int weight;
};
// clang-format off
const FaultKind kFaults[] = {
    {None, "none", 30},                {Reset, "connection reset", 6},
    {Truncated, "truncated body", 6},  {Stall, "stall", 3},
    {Trickle, "trickle", 4},           {Http500, "500", 3},
    {Http502, "502", 3},               {Http503, "503", 3},
    {Http408, "408", 3},               {Http429, "429", 3},
    {Http416, "416", 4},               {NewVersion, "new version (ETag changed)", 6},
    {OverlongLength, "over-long body (length sent)", 4},
    {OverlongClose, "over-long body (no length)", 2},
    {Unexpected200, "200 to a range request", 5},
};
// clang-format on
constexpr int kMaxRetries = 3;
constexpr int kVersions = 8; // new versions a run may see
constexpr int kRunLimitMs = 90000;

int rangeStart(const HttpRequest &request)
{
    static const QRegularExpression range("^bytes=(\\d+)-$");
    const auto m = range.match(QString::fromLatin1(request.header("Range")));
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

// One version of the image on the server: the signed bytes (even ones), or others of the
// same size.
struct Version
{
    QString path;
    QByteArray sha256;
};

// The run as the retry and resume rules see it, advanced by each request's fault.
struct Model
{
    explicit Model(Draw d) : draw(d) {}
    Draw draw;
    int version = 0;
    int versions = 0;
    // Per file: bytes the next request must start at, and after a reset what surely arrived
    // (a reset may lose bytes not yet read).
    struct Held
    {
        qint64 held = 0, floor = 0;
    } sig, image;
    bool sigDone = false; // the image is fetched once its .sig is in, with retries of its own
    int retries = 0;
    int requests = 0;
    QString expected; // set once the run's end is decided
    QStringList trail, problems;
    qint64 refetched = 0, lostToResets = 0;

    void transient()
    {
        if (retries < kMaxRetries)
            ++retries;
        else
            expected = QStringLiteral("gave up after %1 retries").arg(retries);
    }
};

class NetSoak : public Part
{
public:
    explicit NetSoak(quint64 seed) : m_seed(seed) { repeat = "--kills 0 --net 1"; }
    bool prepare() override;
    QStringList runCase(int index) override;

private:
    HttpResponse answer(const HttpRequest &request);

    quint64 m_seed;
    QTemporaryDir m_dir;
    QByteArray m_key;
    QList<Version> m_versions; // [0] is the signed file as first served
    TestHttpServer m_server;
    std::mutex m_lock;
    std::unique_ptr<Model> m_model;
};

bool NetSoak::prepare()
{
    QFile sample(QM_SAMPLE_IMAGE_DIR "/quillmarsh.dmg");
    const QByteArray bytes = sample.open(QIODevice::ReadOnly) ? sample.readAll() : QByteArray();
    const QDateTime base = QDateTime::currentDateTimeUtc().addDays(-1);
    // Each version its own modification time, hence its own ETag and Last-Modified; the first
    // under the name the installer asks for, to be signed.
    for (int k = 0; k < 2 * (kVersions + 1); ++k) {
        QByteArray content = bytes;
        if (k % 2)
            content[content.size() / 2 + k / 2] = char(content[content.size() / 2 + k / 2] ^ 0x5a);
        QFile f(m_dir.filePath(k ? QStringLiteral("v%1.dmg").arg(k) : "quillmarsh.dmg"));
        if (bytes.isEmpty() || !f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            return false;
        f.setFileTime(base.addSecs(k * 10), QFileDevice::FileModificationTime);
        m_versions << Version{f.fileName(),
                              QCryptographicHash::hash(content, QCryptographicHash::Sha256)};
    }
    m_key = makeEd25519Key(m_dir.filePath("key.pem"));
    if (m_key.isEmpty() || !signImage(m_dir.filePath("key.pem"), m_versions[0].path, 2))
        return false;
    m_server.setHandler([this](const HttpRequest &r) { return answer(r); });
    // The events go nowhere: a closed port of this machine.
    AnalyticsConfig analytics = ITDefaultAnalyticsConfig();
    analytics.baseUrl = QStringLiteral("http://127.0.0.1:9");
    ITSetAnalyticsConfig(analytics);
    return QDir().mkpath(m_dir.filePath("private"));
}

HttpResponse NetSoak::answer(const HttpRequest &request)
{
    const bool sig = request.path() == "/quillmarsh.dmg.sig";
    if (!sig && request.path() != "/quillmarsh.dmg")
        return HttpResponse::make(404);
    std::lock_guard lock(m_lock);
    Model &m = *m_model;
    Model::Held &h = sig ? m.sig : m.image;
    ++m.requests;
    const qint64 from = rangeStart(request);
    if (!m.expected.isEmpty())
        m.problems << "a request after the end was decided (" + m.expected + ")";
    if (sig == m.sigDone)
        m.problems << (sig ? "the .sig asked for again" : "the image asked for before its .sig");
    if (from > h.held || from < h.floor)
        m.problems << QStringLiteral("request %1 starts at byte %2, the client holds %3")
                          .arg(m.requests)
                          .arg(from)
                          .arg(h.held);
    m.refetched += qMax<qint64>(0, h.floor - from);
    m.lostToResets += qMax<qint64>(0, h.held - qMax<qint64>(from, h.floor));

    const int total = std::accumulate(std::begin(kFaults), std::end(kFaults), 0,
                                      [](int sum, const FaultKind &k) { return sum + k.weight; });
    int fault = 0;
    for (qint64 pick = m.draw.below(total); pick >= kFaults[fault].weight; ++fault)
        pick -= kFaults[fault].weight;
    // A release's .sig does not change while it is fetched.
    if (fault == NewVersion && (sig || m.versions == kVersions))
        fault = Truncated;
    if (fault == NewVersion) {
        ++m.versions;
        m.version = m.versions * 2 + int(m.draw.below(2)); // even: the signed bytes again
    }
    m.trail << QStringLiteral("%1%2@%3").arg(sig ? ".sig " : "", kFaults[fault].name).arg(from);
    const Version &v = m_versions[m.version];
    const QString path = sig ? m_versions[0].path + ".sig" : v.path;

    HttpRequest asked = request;
    if (fault == Unexpected200)
        asked.headers.removeIf([](const auto &h) {
            return h.first.toLower().startsWith("range") || h.first.toLower() == "if-range";
        });
    HttpResponse r = TestHttpServer::fileResponse(asked, path);
    const qint64 start = r.status == 206 ? from : 0;
    // Short of the whole body; at 0 only the headers arrive and the client learns nothing new.
    const qint64 cut = m.draw.below(qMax<qint64>(1, r.body.size()));
    const auto completes = [&] {
        if (sig) {
            m.sigDone = true;
            m.retries = 0;
        } else {
            m.expected = m.version % 2 == 0
                             ? QStringLiteral("installed")
                             : "refused: sha256 is " + QString::fromLatin1(v.sha256.toHex());
        }
    };
    switch (Fault(fault)) {
    case Reset:
    case Truncated:
    case Stall:
    case NewVersion:
        (fault == Stall ? r.stallAfter : r.closeAfter) = cut;
        r.resetOnClose = fault == Reset;
        if (cut > 0) {
            h.held = start + cut;
            h.floor = fault == Reset ? start : h.held;
        }
        m.transient();
        break;
    case Http500:
    case Http502:
    case Http503:
    case Http408:
    case Http429:
        r = HttpResponse::make(QByteArray(kFaults[fault].name).toInt(), "busy\n");
        m.transient();
        break;
    case Http416:
        r = HttpResponse::make(416).header("Content-Range",
                                           "bytes */" + QByteArray::number(QFileInfo(path).size()));
        // Asked for a range: the same attempt starts over; otherwise the answer is final.
        if (from > 0)
            h.held = h.floor = 0;
        else if (sig)
            m.expected = QStringLiteral("refused: no signature file (HTTP 416)");
        else
            m.expected = QStringLiteral("gave up after %1 retries (HTTP 416)").arg(m.retries);
        break;
    case OverlongLength:
        r.header("Content-Length", QByteArray::number(r.body.size()));
        r.body += QByteArray(4096, 'x');
        completes();
        break;
    case OverlongClose:
        r.omitContentLength = true;
        r.body += QByteArray(4096, 'x');
        m.expected = sig ? QStringLiteral("refused: malformed")
                         : QStringLiteral("refused: size is at least");
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

// How the run ended, in the model's words, from the setup log.
QString outcomeIn(const QString &log)
{
    static const QRegularExpression refused(
        "image verification FAILED: (sha256 is [0-9a-f]+|size is at least|malformed|"
        "no signature file \\(HTTP \\d+\\))");
    static const QRegularExpression gaveUp("download FAILED after (\\d+) retries");
    static const QRegularExpression http("download FAILED \\(HTTP (\\d+)\\)");
    if (log.contains("FLOW: install SUCCESS"))
        return QStringLiteral("installed");
    if (const auto m = refused.match(log); m.hasMatch())
        return "refused: " + m.captured(1);
    QString last;
    for (const auto &m : http.globalMatch(log))
        last = m.captured(1);
    if (const auto m = gaveUp.match(log); m.hasMatch())
        return "gave up after " + m.captured(1) + " retries" + (last == "416" ? " (HTTP 416)" : "");
    return "no end in the log";
}

QStringList NetSoak::runCase(int index)
{
    {
        std::lock_guard lock(m_lock);
        m_model = std::make_unique<Model>(Draw(m_seed, 2, index));
    }
    const QString logPath = platform::logsDirectory() + "/quillmarsh-installer.log";
    const qint64 logFrom = QFileInfo(logPath).size();
    const QString apps = m_dir.filePath(QStringLiteral("apps-%1").arg(index));
    SetupFlow::Parts parts;
    parts.download =
        createNetworkDownloadStage([](Downloader::Options &o) { o.lowSpeedTimeSeconds = 1; });
    parts.install = createImageInstallStage();
    parts.downloadBaseURL = m_server.url(QString());
    parts.timeScale = 0.001;
    parts.keepAwake = false;
    parts.privateFolder = m_dir.filePath("private");
    parts.imagePublicKey = m_key;
    SetupFlow flow(std::move(parts));
    QEventLoop loop;
    QObject::connect(&flow, &SetupFlow::stateChanged, &loop, [&](SetupFlow::State s) {
        if (s == SetupFlow::State::Finished || s == SetupFlow::State::Failed)
            loop.quit();
    });
    QTimer::singleShot(kRunLimitMs, &loop, &QEventLoop::quit);
    flow.install(apps);
    loop.exec();
    flow.shutdown();
    ITLogDrain(2000);

    const QString log = readText(logPath, logFrom), got = outcomeIn(log);
    std::lock_guard lock(m_lock);
    Model &m = *m_model;
    QStringList problems = m.problems;
    if (got != m.expected)
        problems << "ended \"" + got + "\", the rules say \"" + m.expected + "\"";
    if (got == "installed" && describeTree(apps + "/Quillmarsh.app") != describeTree(QM_SAMPLE_APP))
        problems << "installed bundle differs from the image's";
    if (const QString left = entries(m_dir.filePath("private")); !left.isEmpty())
        problems << "left in the private folder: " + left;
    for (const QString &step : m.trail)
        ++counts["request: " + step.section('@', 0, 0)];
    ++counts["outcome: " + got.section(':', 0, 0).section(" (", 0, 0)];
    counts["bytes lost to resets, fetched again"] += int(m.lostToResets);
    counts["bytes fetched again after an orderly cut"] += int(m.refetched);
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
