#include "analytics.h"

#include "config.h"
#include "itlog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

namespace {

constexpr size_t kMaxAnswerBytes = 1 << 20;
constexpr auto kShutdownWait = std::chrono::milliseconds(300);

struct PostRequest
{
    std::string url;
    QByteArray body;
    QString label;
    QString name;
    bool validation = false;
    long timeoutMs = 5000;
};

// One request in flight; owns its easy handle and header list.
struct Transfer
{
    explicit Transfer(PostRequest r) : request(std::move(r)) {}
    ~Transfer()
    {
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
    }
    Q_DISABLE_COPY_MOVE(Transfer)

    PostRequest request;
    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    std::string answer;
    char error[CURL_ERROR_SIZE] = {};
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
// once and never destroyed; at exit it is asked to stop and given a short while to drop its
// transfers, so neither a slow endpoint nor a pending name lookup can hold the process.
class Poster
{
public:
    static Poster *instance();
    void post(PostRequest request);

private:
    Poster() = default;
    bool start();
    void run();
    void loop();
    void startTransfer(PostRequest request);
    static void report(Transfer *t, CURLcode result);
    static void shutdownAtExit();

    CURLM *m_multi = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_stoppedCv;
    std::deque<PostRequest> m_incoming;
    bool m_stop = false;
    bool m_stopped = false;
    std::vector<std::unique_ptr<Transfer>> m_active; // network thread only
};

Poster *gPoster = nullptr;

Poster *Poster::instance()
{
    static std::once_flag once;
    std::call_once(once, [] {
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
    // Reference counted and thread-safe in the libcurl we build against; main() has usually
    // done it already.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return false;
    m_multi = curl_multi_init();
    if (!m_multi)
        return false;
    try {
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        curl_multi_cleanup(m_multi);
        return false;
    }
    // Registered after curl_global_init, so it runs before the TLS library's own exit clean-up.
    std::atexit(shutdownAtExit);
    return true;
}

void Poster::post(PostRequest request)
{
    std::lock_guard lock(m_mutex);
    if (m_stop)
        return;
    m_incoming.push_back(std::move(request));
    // Under the lock, so the thread cannot have cleaned up the multi handle yet.
    curl_multi_wakeup(m_multi);
}

void Poster::startTransfer(PostRequest request)
{
    auto t = std::make_unique<Transfer>(std::move(request));
    t->easy = curl_easy_init();
    t->headers = curl_slist_append(nullptr, "Content-Type: application/json");
    if (!t->easy || !t->headers) {
        report(t.get(), CURLE_OUT_OF_MEMORY);
        return;
    }
    CURL *e = t->easy;
    curl_easy_setopt(e, CURLOPT_URL, t->request.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(t->request.body.size()));
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->request.body.constData());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headers);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, t->request.timeoutMs);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collectAnswer);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error);
    curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
#if LIBCURL_VERSION_NUM >= 0x075700
    // Abandoning a transfer must not wait for its name lookup to finish.
    curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L);
#endif
    if (curl_multi_add_handle(m_multi, e) != CURLM_OK) {
        report(t.get(), CURLE_FAILED_INIT);
        return;
    }
    m_active.push_back(std::move(t));
}

void Poster::report(Transfer *t, CURLcode result)
{
    const PostRequest &r = t->request;
    if (result != CURLE_OK) {
        const QString what = QString::fromUtf8(t->error[0] ? t->error : curl_easy_strerror(result));
        ITLog("GA: %@ %@ ERROR %@", r.name, r.label, what.trimmed());
        return;
    }
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
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

    // Abandon whatever is still in flight.
    for (const auto &t : m_active)
        curl_multi_remove_handle(m_multi, t->easy);
    m_active.clear();
    curl_multi_cleanup(m_multi);
    m_multi = nullptr;

    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_stoppedCv.notify_all();
}

void Poster::loop()
{
    for (;;) {
        std::deque<PostRequest> batch;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop)
                return;
            batch.swap(m_incoming);
        }
        for (PostRequest &r : batch)
            startTransfer(std::move(r));

        int running = 0;
        curl_multi_perform(m_multi, &running);
        int queued = 0;
        while (CURLMsg *msg = curl_multi_info_read(m_multi, &queued)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            Transfer *t = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
            const CURLcode result = msg->data.result;
            curl_multi_remove_handle(m_multi, msg->easy_handle);
            report(t, result);
            std::erase_if(m_active, [t](const auto &a) { return a.get() == t; });
        }
        curl_multi_poll(m_multi, nullptr, 0, 10000, nullptr);
    }
}

void Poster::shutdownAtExit()
{
    Poster *p = gPoster;
    if (!p)
        return;
    std::unique_lock lock(p->m_mutex);
    p->m_stop = true;
    curl_multi_wakeup(p->m_multi);
    const bool stopped = p->m_stoppedCv.wait_for(lock, kShutdownWait, [p] { return p->m_stopped; });
    lock.unlock();
    // A thread that did not come back in time stays detached; the poster is never freed.
    if (stopped)
        p->m_thread.join();
    else
        p->m_thread.detach();
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

void ITPost(const QString &url, const QByteArray &body, const QString &label,
            const QString &name, bool validation, int timeoutMs)
{
    Poster *poster = Poster::instance();
    if (!poster) {
        ITLog("GA: %@ %@ ERROR %@", name, label, "network thread not available");
        return;
    }
    poster->post(PostRequest {url.toStdString(), body, label, name, validation, timeoutMs});
}

} // namespace

AnalyticsConfig ITDefaultAnalyticsConfig()
{
    return AnalyticsConfig {QStringLiteral(QUILLMARSH_ANALYTICS_BASE_URL),
                            QStringLiteral("G-7QZ2R8WK3M"),
                            QStringLiteral("Xq4-Tr7pLw2_VbN9kH0sJe"), 5000};
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
    const QJsonObject event {{QStringLiteral("name"), name}, {QStringLiteral("params"), params}};
    const QJsonObject root {{QStringLiteral("client_id"), ITClientId()},
                            {QStringLiteral("events"), QJsonArray {event}}};
    const QByteArray body = QJsonDocument(root).toJson(QJsonDocument::Compact);

    ITLog("GA: event %@ reason=\"%@\"", name, reason);

    const QString query = QStringLiteral("?measurement_id=")
                          + QString::fromLatin1(QUrl::toPercentEncoding(c.measurementId))
                          + QStringLiteral("&api_secret=")
                          + QString::fromLatin1(QUrl::toPercentEncoding(c.apiSecret));
    ITPost(c.baseUrl + QStringLiteral("/mp/collect") + query, body, QStringLiteral("mp/collect"),
           name, false, c.timeoutMs);
    ITPost(c.baseUrl + QStringLiteral("/debug/mp/collect") + query, body,
           QStringLiteral("debug/mp/collect"), name, true, c.timeoutMs);
}
