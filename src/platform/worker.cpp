#include "worker.h"

#include <QMetaObject>
#include <QObject>

#include <deque>
#include <mutex>
#include <system_error>

namespace platform {

// Tasks on their way to the GUI thread. The queued call Qt makes carries only a reference to
// this queue: a task itself is taken out under the lock and run and destroyed on the GUI thread,
// never freed by the worker thread after Qt's own hand-over (which the thread sanitizer cannot
// follow inside Qt).
struct Worker::Deliveries
{
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    bool open = true;
};

Worker::Worker() : m_deliveries(std::make_shared<Deliveries>()), m_context(new QObject) {}

Worker::~Worker()
{
    join();
    const std::lock_guard lock(m_deliveries->mutex);
    m_deliveries->open = false;
    m_deliveries->tasks.clear();
}

bool Worker::start(std::function<void()> task)
{
    if (m_started)
        return false;
    m_started = true;
    try {
        m_thread = std::thread([task = std::move(task)] {
            try {
                task();
            } catch (...) {
                // A worker keeps its own failures; nothing may leave the thread regardless.
            }
        });
        return true;
    } catch (const std::system_error &) {
        return false;
    }
}

void Worker::post(std::function<void()> task)
{
    {
        const std::lock_guard lock(m_deliveries->mutex);
        m_deliveries->tasks.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(
        m_context.get(), [queue = m_deliveries] { deliver(queue); }, Qt::QueuedConnection);
}

void Worker::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

// One task per queued call, so that a task that ends the Worker leaves the rest unrun.
void Worker::deliver(const std::shared_ptr<Deliveries> &queue)
{
    std::function<void()> task;
    {
        const std::lock_guard lock(queue->mutex);
        if (!queue->open || queue->tasks.empty())
            return;
        task = std::move(queue->tasks.front());
        queue->tasks.pop_front();
    }
    task();
}

} // namespace platform
