#include "realstages.h"

#include "diag/itlog.h"
#include "download/folderlayout.h"
#include "download/resumestate.h"

#include <QFile>
#include <QTimer>

#include <algorithm>

#include <utility>
#include <vector>

using namespace download;
using namespace install;

namespace controller {

namespace {

// One attempt, raced across hosts when a host stays silent: the hosts that follow are asked one
// after another, staggered, beside those still silent (as RFC 8305 does for addresses); the
// first to send bytes of the file carries on and the others are abandoned. A host that fails
// while others are still asked is left; the last one's failure is the attempt's.
class NetworkDownloadStage : public DownloadStage
{
public:
    explicit NetworkDownloadStage(std::function<void(Downloader::Options &)> adjust)
        : m_adjust(std::move(adjust))
    {
        m_stagger.setSingleShot(true);
        QObject::connect(&m_stagger, &QTimer::timeout, [this] { askNextHost(); });
    }

    void start(const DownloadAttempt &attempt, Progress progress, Completion completion) override
    {
        // The ones before are done and go here, often from within a completion handler, which a
        // Downloader allows; abandoned ones still stopping go once they are back.
        m_stagger.stop();
        dropRacers();
        ++m_generation;
        m_attempt = attempt;
        m_progress = std::move(progress);
        m_completion = std::move(completion);
        m_winner = nullptr;
        m_waiting = attempt.raceUrls;
        // Partial files are swept here, before any racer makes its own, but for the held one.
        QString held;
        if (attempt.resume)
            if (const auto state = ResumeState::decode(*attempt.resume))
                held = state->partialPath;
        removeStalePartials(attempt.destFile, held);
        launch(attempt.url, attempt.resume);
    }

    void cancel() override
    {
        // The first keeps its state for a later run; the others' bytes would only overwrite it.
        for (Racer &r : m_racers)
            if (r.running)
                r.first || r.downloader.get() == m_winner ? r.downloader->cancel()
                                                          : r.downloader->abandon();
        m_stagger.stop();
        m_waiting.clear();
    }

    void discard(const QString &destFile) override
    {
        m_stagger.stop();
        dropRacers();
        QFile::remove(destFile);
        QFile::remove(layout::stateFile(destFile));
        removeStalePartials(destFile);
    }

private:
    struct Racer
    {
        std::unique_ptr<Downloader> downloader;
        bool first = false;
        bool running = true; // neither completed nor abandoned
        bool back = false;   // completed
    };

    // Dropping a Downloader waits for its thread, and one abandoned while it connects may take
    // a second to notice: those are kept until they are back.
    void dropRacers()
    {
        for (Racer &r : m_racers)
            if (!r.back)
                m_leaving.push_back(std::move(r.downloader));
        m_racers.clear();
    }

    void launch(const QString &url, std::optional<QByteArray> resume)
    {
        auto downloader = Downloader::create(url, m_attempt.destFile, std::move(resume));
        Downloader::Options options;
        options.maxBytes = m_attempt.maxBytes;
        options.stateFile = m_attempt.stateFile;
        options.anyHost = m_attempt.anyHost;
        options.sweepPartials = false;
        options.lowSpeedLimit = m_attempt.patience.floorBytesPerSecond;
        options.lowSpeedTimeSeconds = m_attempt.patience.floorSeconds;
        options.totalTimeoutSeconds = m_attempt.patience.totalSeconds;
        if (m_adjust)
            m_adjust(options);
        downloader->setOptions(options);
        Downloader *raw = downloader.get();
        const quint64 generation = m_generation;
        downloader->onProgress = [this, raw, generation](qint64 written, qint64 total) {
            if (generation == m_generation && carriesOn(raw) && m_progress)
                m_progress(written, total);
        };
        downloader->onComplete = [this, raw, generation](const DownloadResult &result) {
            if (generation == m_generation)
                return finished(raw, result);
            std::erase_if(m_leaving, [raw](const auto &d) { return d.get() == raw; });
        };
        m_racers.push_back({std::move(downloader), m_racers.empty(), true});
        if (!m_waiting.isEmpty() && m_attempt.patience.staggerMs >= 0)
            m_stagger.start(m_attempt.patience.staggerMs);
        raw->start();
    }

    void askNextHost()
    {
        if (m_winner || m_waiting.isEmpty())
            return;
        ITLog("FLOW: no answer from %@ within %d ms, asking %@ beside it",
              m_racers.back().downloader->url(), m_attempt.patience.staggerMs, m_waiting.first());
        launch(m_waiting.takeFirst(), std::nullopt);
    }

    Racer *racerOf(const Downloader *downloader)
    {
        for (Racer &r : m_racers)
            if (r.downloader.get() == downloader)
                return &r;
        return nullptr;
    }

    // The first racer to send bytes of the file wins the race; the others are abandoned.
    bool carriesOn(Downloader *downloader)
    {
        if (m_winner)
            return downloader == m_winner;
        m_winner = downloader;
        m_stagger.stop();
        m_waiting.clear();
        if (m_racers.size() > 1)
            ITLog("FLOW: %@ answered first and carries on", downloader->url());
        for (Racer &r : m_racers)
            if (r.running && r.downloader.get() != downloader) {
                ITLog("FLOW: leaving download host %@ (no answer before %@)", r.downloader->url(),
                      downloader->url());
                r.running = false;
                r.downloader->abandon();
            }
        return true;
    }

    void finished(Downloader *downloader, const DownloadResult &result)
    {
        Racer *racer = racerOf(downloader);
        if (!racer)
            return;
        const bool wasRunning = racer->running;
        racer->running = false;
        racer->back = true;
        if (!wasRunning)
            return; // abandoned: its result is of no use
        // A file that came whole without a progress report (an empty one) wins all the same.
        if (!m_winner && result.status != DownloadResult::Status::Failed &&
            result.status != DownloadResult::Status::Cancelled)
            carriesOn(downloader);
        const bool othersRun =
            std::any_of(m_racers.begin(), m_racers.end(), [](const Racer &r) { return r.running; });
        if (downloader != m_winner && result.status == DownloadResult::Status::Failed &&
            othersRun) {
            ITLog("FLOW: leaving download host %@ (%@)", downloader->url(), result.message);
            return;
        }
        if (othersRun && downloader != m_winner)
            return; // cancelled: the last one to come back reports
        m_stagger.stop();
        m_waiting.clear();
        const Completion completion = m_completion;
        if (completion)
            completion(result);
    }

    std::function<void(Downloader::Options &)> m_adjust;
    DownloadAttempt m_attempt;
    Progress m_progress;
    Completion m_completion;
    std::vector<Racer> m_racers;
    std::vector<std::unique_ptr<Downloader>> m_leaving;
    Downloader *m_winner = nullptr;
    QStringList m_waiting;
    QTimer m_stagger;
    quint64 m_generation = 0;
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
