#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>
#include <thread>

class QObject;

namespace platform {

// One thread that belongs to one object. The owner starts it once; the destructor waits for it,
// so the thread never outlives what it works on. Whoever owns a Worker makes the task end soon
// once asked (a cancel flag, the tool runner's deadlines): the wait has no deadline of its own.
//
// What the thread reports goes to the GUI thread through post(): each task runs there, in order,
// and is destroyed there, and none runs once the Worker is gone. A task may destroy the Worker's
// owner; the tasks still queued are then dropped.
class Worker
{
public:
    Worker();
    ~Worker();
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // Runs task on the thread; nothing escapes it. False, with nothing run, when no thread could
    // be made or the Worker has run before.
    bool start(std::function<void()> task);
    // Any thread: queues task for the GUI thread (the thread the Worker was made on).
    void post(std::function<void()> task);
    // Waits for the thread to end; the GUI thread's tasks still queued stay queued.
    void join();

private:
    struct Deliveries;
    static void deliver(const std::shared_ptr<Deliveries> &queue);

    std::shared_ptr<Deliveries> m_deliveries;
    std::unique_ptr<QObject> m_context;
    std::thread m_thread;
    bool m_started = false;
};

} // namespace platform
