#include "workeradapters.h"

#include <climits>
#include <limits>

namespace flowadapters {

std::shared_ptr<Downloader> prepareDownload(const QString &url, const QString &destFile,
                                            std::optional<QByteArray> resumeData,
                                            std::function<void(qint64, qint64)> progress,
                                            std::function<void(const DownloadResult &)> complete)
{
    auto downloader = Downloader::create(url, destFile, std::move(resumeData));
    downloader->onProgress = std::move(progress);
    // A raw pointer: the downloader keeps itself alive while it calls its own completion.
    Downloader *raw = downloader.get();
    downloader->onComplete = [raw, complete = std::move(complete)](bool ok,
                                                                   const QString &message) {
        DownloadResult result;
        result.status = ok                   ? DownloadResult::Status::Saved
                        : raw->isCancelled() ? DownloadResult::Status::Cancelled
                                             : DownloadResult::Status::Failed;
        result.message = message;
        result.httpStatus = raw->httpStatus();
        result.errorCode = raw->errorCode();
        result.resumeData = raw->resumeData();
        complete(result);
    };
    return downloader;
}

std::shared_ptr<DMGInstaller> prepareInstall(const QString &dmgPath, const QString &appName,
                                             const QString &folder,
                                             const std::function<void(DMGInstaller &)> &setup,
                                             std::function<void(InstallStage)> stage,
                                             std::function<void(const InstallResult &)> complete)
{
    auto installer = DMGInstaller::create(dmgPath, appName, folder);
    if (setup)
        setup(*installer);
    installer->onStatus = [stage = std::move(stage)](const QString &word) {
        for (InstallStage s : {InstallStage::Mount, InstallStage::Copy, InstallStage::Authorize})
            if (installStageName(s) == word)
                stage(s);
    };
    installer->onComplete = [complete = std::move(complete)](bool success, const QString &app,
                                                             const QString &error) {
        InstallResult result;
        result.status = success ? InstallResult::Status::Installed : InstallResult::Status::Failed;
        result.app = app;
        result.error = error;
        complete(result);
    };
    return installer;
}

bool waitForWorkers(platform::WorkerKind kind, QDeadlineTimer deadline)
{
    // Today's workers still count themselves; the platform count covers the ones that moved.
    const int ms =
        deadline.isForever()
            ? std::numeric_limits<int>::max()
            : static_cast<int>(qBound<qint64>(0, deadline.remainingTime(), qint64(INT_MAX)));
    bool idle = true;
    if (kind == platform::WorkerKind::Download)
        idle = Downloader::waitForWorkers(ms);
    else if (kind == platform::WorkerKind::Install)
        idle = DMGInstaller::waitForWorkers(ms);
    return platform::waitForWorkers(kind, deadline) && idle;
}

} // namespace flowadapters
