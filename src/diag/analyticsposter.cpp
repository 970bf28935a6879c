#include "analyticsposter.h"

#include "itlog.h"

#include <QUrl>

#include <algorithm>
#include <system_error>

namespace diag {

namespace {

constexpr size_t kMaxAnswerBytes = 1 << 20;
// The thread may need a moment past the deadline to let go of what it abandons.
constexpr qint64 kFinishGraceMs = 100;

} // namespace

// One request in flight, with the handles it owns.
struct AnalyticsPoster::Transfer
{
    explicit Transfer(PostRequest r) : request(std::move(r)) {}
    Q_DISABLE_COPY_MOVE(Transfer)

    static size_t collectAnswer(char *data, size_t size, size_t count, void *user)
    {
        auto *t = static_cast<Transfer *>(user);
        const size_t n = size * count;
        if (t->answer.size() < kMaxAnswerBytes)
            t->answer.append(data, std::min(n, kMaxAnswerBytes - t->answer.size()));
        return n;
    }

    // Goes on along the next route when the proxy of this one could not carry the post.
    bool nextRoute(CURLcode result)
    {
        if (route + 1 >= proxy.routes.size() || proxy.routes[route].isDirect())
            return false;
        long connectStatus = 0;
        long status = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_COULDNT_CONNECT && result != CURLE_COULDNT_RESOLVE_PROXY &&
            result != CURLE_PROXY && connectStatus < 300 && status != 407)
            return false;
        ITLog("GA: %@ %@ ERROR %@, trying the next way", request.name, request.label,
              proxy.routes[route].url);
        curl.useProxy(proxy.routes[++route], proxy.noProxy);
        answer.clear();
        return curl.setupCode() == CURLE_OK;
    }

    PostRequest request;
    platform::CurlRequest curl;
    std::string answer;
    platform::ProxyDecision proxy;
    qsizetype route = 0;
};

AnalyticsPoster::AnalyticsPoster(Timing timing) : m_timing(timing)
{
    if (!m_multi)
        return;
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error &) {
        // Not running: nobody hands it a post.
    }
}

AnalyticsPoster::~AnalyticsPoster()
{
    if (!m_thread.joinable())
        return;
    finish(QDeadlineTimer(m_timing.exitAllowance));
    m_thread.join();
}

void AnalyticsPoster::post(PostRequest request)
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

bool AnalyticsPoster::finish(QDeadlineTimer deadline)
{
    std::unique_lock lock(m_mutex);
    if (!m_finishing || deadline.deadline() < m_finishBy.deadline())
        m_finishBy = deadline;
    m_finishing = true;
    // The thread may be asleep with nothing in flight; only this tells it to end.
    curl_multi_wakeup(m_multi.get());
    const auto ended = [this] { return m_done; };
    if (deadline.isForever())
        m_ended.wait(lock, ended);
    else
        m_ended.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime() + kFinishGraceMs),
                         ended);
    return m_done && !m_abandoned;
}

void AnalyticsPoster::startTransfer(PostRequest request)
{
    auto owned = std::make_unique<Transfer>(std::move(request));
    Transfer *t = owned.get();
    platform::CurlRequest &c = t->curl;
    c.addHeader("Content-Type: application/json");
    c.set(CURLOPT_URL, t->request.url.c_str());
    c.set(CURLOPT_PROTOCOLS_STR, "http,https");
    c.set(CURLOPT_POST, 1L);
    c.set(CURLOPT_POSTFIELDSIZE, long(t->request.body.size()));
    c.set(CURLOPT_POSTFIELDS, t->request.body.constData());
    c.set(CURLOPT_TIMEOUT_MS, t->request.timeoutMs);
    c.trustSystemStore();
    const QUrl url(QString::fromStdString(t->request.url));
    // A bus that does not answer is given up on at the end, and the post with it: sent
    // directly, it would go past the proxy the desktop may have named.
    t->proxy = platform::decideProxy(url, [this] { return endPassed(); });
    if (endPassed()) {
        ITLog("GA: %@ %@ ERROR %@", t->request.name, t->request.label,
              "not sent, the installer is exiting");
        std::lock_guard lock(m_mutex);
        m_abandoned = true;
        return;
    }
    const QString host = platform::hostAndPort(url);
    if (platform::firstMention(host, t->proxy.describe()))
        ITLog("GA: %@ reached %@", host, t->proxy.describe());
    c.useProxy(t->proxy.routes.constFirst(), t->proxy.noProxy);
    c.set(CURLOPT_WRITEFUNCTION, Transfer::collectAnswer);
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

void AnalyticsPoster::report(Transfer *t, CURLcode result, const QByteArray &detail)
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

bool AnalyticsPoster::endPassed()
{
    std::lock_guard lock(m_mutex);
    return m_finishing && m_finishBy.hasExpired();
}

void AnalyticsPoster::run()
{
    try {
        loop();
    } catch (...) {
        // Nothing may escape the thread; the posts in flight are dropped below.
    }
    // Whatever is still in flight is abandoned.
    for (const auto &t : m_active)
        curl_multi_remove_handle(m_multi.get(), t->curl.get());
    std::lock_guard lock(m_mutex);
    m_abandoned = m_abandoned || !m_active.empty();
    m_active.clear();
    m_done = true;
    m_ended.notify_all();
}

void AnalyticsPoster::loop()
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
            if (t->nextRoute(result) &&
                curl_multi_add_handle(m_multi.get(), t->curl.get()) == CURLM_OK)
                continue;
            report(t, result);
            std::erase_if(m_active, [t](const auto &a) { return a.get() == t; });
        }
        if (finishing && (m_active.empty() || finishBy.hasExpired()))
            return;
        const qint64 idle = m_timing.idlePoll.count();
        const qint64 wait = finishing ? qMax<qint64>(1, finishBy.remainingTime()) : idle;
        curl_multi_poll(m_multi.get(), nullptr, 0, int(qMin<qint64>(wait, idle)), nullptr);
    }
}

} // namespace diag
