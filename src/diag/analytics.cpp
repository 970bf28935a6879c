#include "analytics.h"

#include "config.h"
#include "itlog.h"

#include "platform/curlholder.h"
#include "platform/worker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <curl/curl.h>

namespace {

constexpr size_t kMaxAnswerBytes = 1 << 20;
constexpr int kIdlePollMs = 10000;
// The thread may need a moment past the deadline to let go of what it abandons.
constexpr qint64 kFinishGraceMs = 100;

struct PostRequest
{
    std::string url;
    QByteArray body;
    QString label;
    QString name;
    bool validation = false;
    long timeoutMs = 5000;
};

// One request in flight, with the handles it owns.
struct Transfer
{
    explicit Transfer(PostRequest r) : request(std::move(r)) {}
    Q_DISABLE_COPY_MOVE(Transfer)

    PostRequest request;
    CurlRequest curl;
    std::string answer;
};

size_t collectAnswer(char *data, size_t size, size_t count, void *user)
{
    auto *t = static_cast<Transfer *>(user);
    const size_t n = size * count;
    if (t->answer.size() < kMaxAnswerBytes)
        t->answer.append(data, std::min(n, kMaxAnswerBytes - t->answer.size()));
    return n;
}

// The network thread: one curl multi handle runs every post side by side. The poster is made
// on the first event and never freed, since its thread is detached. At exit it is given until
// a deadline to finish the posts already made, so an event sent just before the end (a
// cancellation, the offline download) still arrives, while neither a slow endpoint nor a
// pending name lookup can hold the process longer than that.
class Poster
{
public:
    static Poster *instance();
    void post(PostRequest request);
    void finish(QDeadlineTimer deadline);

private:
    Poster() = default;
    bool start();
    void run();
    void loop();
    void startTransfer(PostRequest request);
    static void report(Transfer *t, CURLcode result, const QByteArray &detail = {});

    CurlMulti m_multi;
    std::mutex m_mutex;
    std::deque<PostRequest> m_incoming;
    bool m_finishing = false;
    QDeadlineTimer m_finishBy = QDeadlineTimer::Forever;
    std::vector<std::unique_ptr<Transfer>> m_active; // network thread only
};

std::atomic<Poster *> gPoster{nullptr};
std::once_flag gPosterOnce;

void finishAtExit()
{
    ITAnalyticsFinish();
}

Poster *Poster::instance()
{
    std::call_once(gPosterOnce, [] {
        auto *p = new Poster;
        if (p->start())
            gPoster = p;
        else
            delete p;
    });
    return gPoster;
}

bool Poster::start()
{
    if (!m_multi)
        return false;
    if (!platform::startWorker(platform::WorkerKind::Analytics, [this] { run(); }))
        return false;
    std::atexit(finishAtExit);
    return true;
}

void Poster::post(PostRequest request)
{
    std::lock_guard lock(m_mutex);
    if (m_finishing) {
        ITLog("GA: %@ %@ ERROR %@", request.name, request.label,
              "not sent, the installer is exiting");
        return;
    }
    m_incoming.push_back(std::move(request));
    curl_multi_wakeup(m_multi.get());
}

void Poster::finish(QDeadlineTimer deadline)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_finishing || deadline.deadline() < m_finishBy.deadline())
            m_finishBy = deadline;
        m_finishing = true;
        curl_multi_wakeup(m_multi.get());
    }
    platform::waitForWorkers(platform::WorkerKind::Analytics,
                             deadline.isForever()
                                 ? deadline
                                 : QDeadlineTimer(deadline.remainingTime() + kFinishGraceMs));
}

void Poster::startTransfer(PostRequest request)
{
    auto owned = std::make_unique<Transfer>(std::move(request));
    Transfer *t = owned.get();
    CurlRequest &c = t->curl;
    c.addHeader("Content-Type: application/json");
    c.set(CURLOPT_URL, t->request.url.c_str());
    c.set(CURLOPT_PROTOCOLS_STR, "http,https");
    c.set(CURLOPT_POST, 1L);
    c.set(CURLOPT_POSTFIELDSIZE, long(t->request.body.size()));
    c.set(CURLOPT_POSTFIELDS, t->request.body.constData());
    c.set(CURLOPT_TIMEOUT_MS, t->request.timeoutMs);
    c.trustSystemStore();
    c.set(CURLOPT_WRITEFUNCTION, collectAnswer);
    c.set(CURLOPT_WRITEDATA, static_cast<void *>(t));
    c.set(CURLOPT_PRIVATE, static_cast<void *>(t));
    // Abandoning a transfer at exit must not wait for its name lookup to finish.
    c.set(CURLOPT_QUICK_EXIT, 1L);
    // The first option libcurl refuses ends this post with a line that names it.
    if (c.setupCode() != CURLE_OK)
        return report(t, c.setupCode(), c.setupFailure());
    if (curl_multi_add_handle(m_multi.get(), c.get()) != CURLM_OK)
        return report(t, CURLE_FAILED_INIT);
    m_active.push_back(std::move(owned));
}

void Poster::report(Transfer *t, CURLcode result, const QByteArray &detail)
{
    const PostRequest &r = t->request;
    if (result != CURLE_OK) {
        const char *error = t->curl.errorDetail();
        QString what = QString::fromUtf8(error[0] ? error : curl_easy_strerror(result));
        if (!detail.isEmpty())
            what += QStringLiteral(": ") + QString::fromUtf8(detail);
        ITLog("GA: %@ %@ ERROR %@", r.name, r.label, what.trimmed());
        return;
    }
    long status = 0;
    curl_easy_getinfo(t->curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (r.validation) {
        const QString answer = QString::fromUtf8(t->answer.data(), qsizetype(t->answer.size()));
        ITLog("GA: %@ %@ -> HTTP %ld, validation: %@", r.name, r.label, status, answer.trimmed());
    } else {
        ITLog("GA: %@ %@ -> HTTP %ld", r.name, r.label, status);
    }
}

void Poster::run()
{
    try {
        loop();
    } catch (...) {
        // Nothing may escape the thread; the posts in flight are dropped below.
    }
    // Whatever is still in flight is abandoned. The multi handle stays: post() may still
    // wake it, and the poster is never freed.
    for (const auto &t : m_active)
        curl_multi_remove_handle(m_multi.get(), t->curl.get());
    m_active.clear();
}

void Poster::loop()
{
    for (;;) {
        std::deque<PostRequest> batch;
        bool finishing = false;
        QDeadlineTimer finishBy;
        {
            std::lock_guard lock(m_mutex);
            batch.swap(m_incoming);
            finishing = m_finishing;
            finishBy = m_finishBy;
        }
        for (PostRequest &r : batch)
            startTransfer(std::move(r));

        int running = 0;
        curl_multi_perform(m_multi.get(), &running);
        int queued = 0;
        while (CURLMsg *msg = curl_multi_info_read(m_multi.get(), &queued)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            Transfer *t = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
            const CURLcode result = msg->data.result;
            curl_multi_remove_handle(m_multi.get(), msg->easy_handle);
            report(t, result);
            std::erase_if(m_active, [t](const auto &a) { return a.get() == t; });
        }
        if (finishing && (m_active.empty() || finishBy.hasExpired()))
            return;
        const qint64 wait = finishing ? qMax<qint64>(1, finishBy.remainingTime()) : kIdlePollMs;
        curl_multi_poll(m_multi.get(), nullptr, 0, int(qMin<qint64>(wait, kIdlePollMs)), nullptr);
    }
}

std::mutex gConfigMutex;
AnalyticsConfig &config()
{
    static AnalyticsConfig c = ITDefaultAnalyticsConfig();
    return c;
}

QString ITClientId()
{
    static const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return id;
}

void ITPost(const QString &url, const QByteArray &body, const QString &label, const QString &name,
            bool validation, int timeoutMs)
{
    Poster *poster = Poster::instance();
    if (!poster) {
        ITLog("GA: %@ %@ ERROR %@", name, label, "network thread not available");
        return;
    }
    poster->post(PostRequest{url.toStdString(), body, label, name, validation, timeoutMs});
}

} // namespace

AnalyticsConfig ITDefaultAnalyticsConfig()
{
    return AnalyticsConfig{QStringLiteral(QUILLMARSH_ANALYTICS_BASE_URL),
                           QStringLiteral("G-7QZ2R8WK3M"), QStringLiteral("Xq4-Tr7pLw2_VbN9kH0sJe"),
                           5000};
}

void ITAnalyticsFinish(QDeadlineTimer deadline)
{
    // Only a poster that exists has anything to finish; none is made for this.
    if (Poster *p = gPoster)
        p->finish(deadline);
}

void ITSetAnalyticsConfig(const AnalyticsConfig &c)
{
    std::lock_guard lock(gConfigMutex);
    config() = c;
}

void ITTrackEvent(const QString &name, const QString &reason)
{
    AnalyticsConfig c;
    {
        std::lock_guard lock(gConfigMutex);
        c = config();
    }
    if (c.apiSecret.isEmpty()) {
        ITLog("GA: SKIPPED %@ - API_SECRET not configured", name);
        return;
    }

    QJsonObject params;
    if (!reason.isEmpty())
        params.insert(QStringLiteral("reason"), reason);
    const QJsonObject event{{QStringLiteral("name"), name}, {QStringLiteral("params"), params}};
    const QJsonObject root{{QStringLiteral("client_id"), ITClientId()},
                           {QStringLiteral("events"), QJsonArray{event}}};
    const QByteArray body = QJsonDocument(root).toJson(QJsonDocument::Compact);

    ITLog("GA: event %@ reason=\"%@\"", name, reason);

    const QString query = QStringLiteral("?measurement_id=") +
                          QString::fromLatin1(QUrl::toPercentEncoding(c.measurementId)) +
                          QStringLiteral("&api_secret=") +
                          QString::fromLatin1(QUrl::toPercentEncoding(c.apiSecret));
    ITPost(c.baseUrl + QStringLiteral("/mp/collect") + query, body, QStringLiteral("mp/collect"),
           name, false, c.timeoutMs);
    ITPost(c.baseUrl + QStringLiteral("/debug/mp/collect") + query, body,
           QStringLiteral("debug/mp/collect"), name, true, c.timeoutMs);
}
