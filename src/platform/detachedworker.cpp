#include "detachedworker.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <array>
#include <deque>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

namespace {

struct Tracker
{
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
};

// Never destroyed: a detached worker may still report its end while static objects go away.
Tracker &tracker(WorkerKind kind)
{
    static auto *trackers = new std::array<Tracker, 4>;
    return (*trackers)[static_cast<size_t>(kind)];
}

void finished(Tracker &t)
{
    std::lock_guard lock(t.mutex);
    if (--t.running == 0)
        t.idle.notify_all();
}

} // namespace

bool startWorker(WorkerKind kind, std::function<void()> task)
{
    Tracker &t = tracker(kind);
    {
        std::lock_guard lock(t.mutex);
        ++t.running;
    }
    try {
        std::thread([&t, task = std::move(task)] {
            try {
                task();
            } catch (...) {
                // A worker keeps its own failures; nothing may leave the thread regardless.
            }
            finished(t);
        }).detach();
        return true;
    } catch (const std::system_error &) {
        finished(t);
        return false;
    }
}

bool waitForWorkers(WorkerKind kind, QDeadlineTimer deadline)
{
    Tracker &t = tracker(kind);
    std::unique_lock lock(t.mutex);
    const auto none = [&t] { return t.running == 0; };
    if (deadline.isForever()) {
        t.idle.wait(lock, none);
        return true;
    }
    return t.idle.wait_for(lock, std::chrono::milliseconds(deadline.remainingTime()), none);
}

} // namespace platform
