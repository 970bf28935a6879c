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

// One download attempt, ready to start; progress and complete run on the GUI thread. The caller
// keeps it before starting it, so that even a completion from within start() finds it known.
std::shared_ptr<Downloader> prepareDownload(const QString &url, const QString &destFile,
                                            std::optional<QByteArray> resumeData,
                                            std::function<void(qint64, qint64)> progress,
                                            std::function<void(const DownloadResult &)> complete);

// One install, ready to start; setup may adjust the installer (tool paths).
std::shared_ptr<DMGInstaller> prepareInstall(const QString &dmgPath, const QString &appName,
                                             const QString &folder,
                                             const std::function<void(DMGInstaller &)> &setup,
                                             std::function<void(InstallStage)> stage,
                                             std::function<void(const InstallResult &)> complete);

// True when no worker of kind is left by deadline.
bool waitForWorkers(platform::WorkerKind kind, QDeadlineTimer deadline);

} // namespace flowadapters
