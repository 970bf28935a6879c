#pragma once
// Transitional: the log and analytics threads until they get owners of their own.
#include <QDeadlineTimer>
#include <functional>
namespace platform {
enum class WorkerKind { Download, Install, Log, Analytics };
bool startWorker(WorkerKind kind, std::function<void()> task);
bool waitForWorkers(WorkerKind kind, QDeadlineTimer deadline);
} // namespace platform
