#pragma once

#include "platform/curlholder.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace diag {

struct PostRequest
{
    std::string url;
    QByteArray body;
    QString label;
    QString name;
    bool validation = false;
    long timeoutMs = 5000;
};

// The network thread of the analytics posts: one curl multi handle runs every post side by
// side, and only log lines come out of it. The destructor gives the posts already made until
// exitAllowance to finish, so an event sent just before the end (a cancellation, the offline
// download) still arrives, while neither a slow endpoint, a pending name lookup nor a desktop
// bus asked for the proxy can hold the process longer than that.
class AnalyticsPoster
{
public:
    struct Timing
    {
        std::chrono::milliseconds exitAllowance{1000};
        // How long the idle thread sleeps between looks; anything that concerns it wakes it.
        std::chrono::milliseconds idlePoll{10000};
    };

    explicit AnalyticsPoster(Timing timing);
    ~AnalyticsPoster();
    AnalyticsPoster(const AnalyticsPoster &) = delete;
    AnalyticsPoster &operator=(const AnalyticsPoster &) = delete;

    bool isRunning() const { return m_thread.joinable(); }
    void post(PostRequest request);
    // Lets the posts already made finish until deadline, then abandons the rest; later posts
    // are not sent. True when every post had its outcome and the thread ended by the deadline
    // (a moment's grace added).
    bool finish(QDeadlineTimer deadline);

private:
    struct Transfer;

    void run();
    void loop();
    void startTransfer(PostRequest request);
    static void report(Transfer *t, CURLcode result, const QByteArray &detail = {});
    bool endPassed();

    const Timing m_timing;
    platform::CurlMulti m_multi;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    std::deque<PostRequest> m_incoming;
    bool m_finishing = false;
    bool m_done = false; // the thread has left its loop
    bool m_abandoned = false;
    QDeadlineTimer m_finishBy = QDeadlineTimer::Forever;
    std::vector<std::unique_ptr<Transfer>> m_active; // network thread only
    std::thread m_thread;
};

} // namespace diag
