#include "realstages.h"

#include "download/resumestate.h"

#include <QFile>

#include <utility>

using namespace download;
using namespace install;

namespace controller {

namespace {

class NetworkDownloadStage : public DownloadStage
{
public:
    explicit NetworkDownloadStage(std::function<void(Downloader::Options &)> adjust)
        : m_adjust(std::move(adjust))
    {}

    void start(const DownloadAttempt &attempt, Progress progress, Completion completion) override
    {
        // The one before is done or abandoned and goes here, often from within its own completion
        // handler, which a Downloader allows.
        m_current = Downloader::create(attempt.url, attempt.destFile, attempt.resume);
        Downloader::Options options;
        options.maxBytes = attempt.maxBytes;
        options.stateFile = attempt.stateFile;
        options.anyHost = attempt.anyHost;
        if (m_adjust)
            m_adjust(options);
        m_current->setOptions(options);
        m_current->onProgress = std::move(progress);
        m_current->onComplete = std::move(completion);
        m_current->start();
    }

    void cancel() override
    {
        if (m_current)
            m_current->cancel();
    }

    void discard(const QString &destFile) override
    {
        m_current.reset();
        QFile::remove(destFile);
        QFile::remove(stateFileFor(destFile));
        removeStalePartials(destFile);
    }

private:
    std::function<void(Downloader::Options &)> m_adjust;
    std::unique_ptr<Downloader> m_current;
};

class ImageInstallStage : public InstallStage
{
public:
    explicit ImageInstallStage(std::function<void(DMGInstaller &)> adjust)
        : m_adjust(std::move(adjust))
    {}

    void start(const InstallJob &job, Step step, Completion completion) override
    {
        m_current = DMGInstaller::create(job.image, job.appName, job.folder);
        m_current->setImageDigest(job.imageSize, job.imageSha256);
        m_current->setDisposableFiles(QStringList{job.image} + job.alsoRemove);
#ifdef Q_OS_LINUX
        DMGInstaller::Tools tools = m_current->tools();
        tools.menuEntry = true;
        m_current->setTools(tools);
#endif
        if (m_adjust)
            m_adjust(*m_current);
        m_current->onStatus = std::move(step);
        m_current->onComplete = std::move(completion);
        m_current->start();
    }

private:
    std::function<void(DMGInstaller &)> m_adjust;
    // Kept after its completion while it detaches the image: dropping it waits for that.
    std::unique_ptr<DMGInstaller> m_current;
};

} // namespace

std::unique_ptr<DownloadStage>
createNetworkDownloadStage(std::function<void(Downloader::Options &)> adjust)
{
    return std::make_unique<NetworkDownloadStage>(std::move(adjust));
}

std::unique_ptr<InstallStage> createImageInstallStage(std::function<void(DMGInstaller &)> adjust)
{
    return std::make_unique<ImageInstallStage>(std::move(adjust));
}

} // namespace controller
