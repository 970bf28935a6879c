#pragma once

#include "download/downloader.h"
#include "install/dmginstaller.h"
#include "platform/worker.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The flow speaks in DownloadResult and InstallResult; these turn the workers' present callbacks
// into those values, one function per worker, so the flow needs no string compare or flag reads.
namespace flowadapters {

// Starts one download attempt; progress and complete run on the GUI thread.
std::shared_ptr<Downloader> startDownload(const QString &url, const QString &destFile,
                                          std::optional<QByteArray> resumeData,
                                          std::function<void(qint64, qint64)> progress,
                                          std::function<void(const DownloadResult &)> complete);

// Starts one install; setup may adjust the installer (tool paths) before it starts.
std::shared_ptr<DMGInstaller> startInstall(const QString &dmgPath, const QString &appName,
                                           const QString &folder,
                                           const std::function<void(DMGInstaller &)> &setup,
                                           std::function<void(InstallStage)> stage,
                                           std::function<void(const InstallResult &)> complete);

// True when no worker of kind is left by deadline.
bool waitForWorkers(platform::WorkerKind kind, QDeadlineTimer deadline);

} // namespace flowadapters
