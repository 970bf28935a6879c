#pragma once

#include <QDeadlineTimer>

#include <functional>

namespace platform {

// The kinds of worker thread the installer runs. Each kind is counted on its own, so that an
// orderly exit can wait for the ones that matter to it (a cancelled download letting go of its
// partial file, an install detaching its image) without waiting for the others.
enum class WorkerKind { Download, Install };

// Runs task on a new thread counted under kind. The thread is detached: an exit never joins a
// thread that may be blocked in a system call, it waits for it with a deadline instead. Nothing
// escapes the task. Returns false, without running anything, when no thread can be made.
bool startWorker(WorkerKind kind, std::function<void()> task);

// True when no worker of kind runs any more, waiting at most until deadline.
bool waitForWorkers(WorkerKind kind, QDeadlineTimer deadline);

// Queues task to run on the application's thread, where it is also destroyed; dropped when there
// is no application. A task that holds a worker object keeps it alive until it has run there.
void postToGui(std::function<void()> task);

} // namespace platform
