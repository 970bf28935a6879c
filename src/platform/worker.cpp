#include "worker.h"

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
    static auto *trackers = new std::array<Tracker, 2>;
    return (*trackers)[static_cast<size_t>(kind)];
}

void finished(Tracker &t)
{
    std::lock_guard lock(t.mutex);
    if (--t.running == 0)
        t.idle.notify_all();
}

// Tasks on their way to the GUI thread, which takes each out under the lock and destroys it
// there. A capturing functor posted straight through invokeMethod is freed by whichever thread
// lets go of Qt's reference last, often the poster after the GUI thread ran it: what it captured
// (a worker object and its handlers) would die on the worker thread, in an order ThreadSanitizer
// cannot see inside Qt.
struct Deliveries
{
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
};

// Never destroyed, like the trackers.
Deliveries &deliveries()
{
    static auto *queue = new Deliveries;
    return *queue;
}

void runDelivery()
{
    Deliveries &queue = deliveries();
    std::function<void()> task;
    {
        const std::lock_guard lock(queue.mutex);
        if (queue.tasks.empty())
            return;
        task = std::move(queue.tasks.front());
        queue.tasks.pop_front();
    }
    task();
}

} // namespace

void postToGui(std::function<void()> task)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    {
        Deliveries &queue = deliveries();
        const std::lock_guard lock(queue.mutex);
        queue.tasks.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(app, &runDelivery, Qt::QueuedConnection);
}

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
