#pragma once

#include "download/downloader.h"
#include "download/hostpolicy.h"
#include "install/dmginstaller.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace controller {

// The two stages the setup flow drives, one piece of work at a time each. The shipped program
// runs the network download and the disk-image install (realstages.h); the flow's tests stand in
// stages of their own. Every report arrives on the GUI thread, and none after the stage is gone;
// dropping a stage stops what it runs (a download is cancelled, an install's detach waited for).

struct DownloadAttempt
{
    QString url;
    QString destFile; // the file lands here, in the private folder, only when complete
    std::optional<QByteArray> resume;
    qint64 maxBytes = -1; // a larger file ends the attempt as TooLarge; -1: no limit
    QString stateFile;    // where the resume state is kept for a later run; empty: none
    bool anyHost = false; // the held bytes may continue from another host (signed images)
    // The same file on the hosts that follow, in order: while no host has sent any of the file,
    // each one staggerMs on is asked beside the others; the first to send carries on.
    QStringList raceUrls;
    download::HostPolicy::Patience patience;
};

class DownloadStage
{
public:
    using Progress = std::function<void(qint64 written, qint64 total)>;
    using Completion = std::function<void(const download::DownloadResult &result)>;

    virtual ~DownloadStage() = default;
    // Starts an attempt; the one before it, if any, is abandoned and reports no more.
    virtual void start(const DownloadAttempt &attempt, Progress progress,
                       Completion completion) = 0;
    virtual void cancel() = 0; // the attempt in hand; its completion follows as Cancelled
    // The file, every partial file kept of it for resuming and its kept resume state; only while
    // no attempt runs.
    virtual void discard(const QString &destFile) = 0;
};

struct InstallJob
{
    QString image;          // removed by the stage once the install is over, whatever the outcome
    QStringList alsoRemove; // other files of the download, removed with the image
    QString appName;
    QString folder;
    qint64 imageSize = 0;
    QByteArray imageSha256; // the administrator's copy accepts only these bytes
};

class InstallStage
{
public:
    using Step = std::function<void(install::InstallStep step)>;
    using Completion = std::function<void(const install::InstallResult &result)>;

    virtual ~InstallStage() = default;
    virtual void start(const InstallJob &job, Step step, Completion completion) = 0;
};

} // namespace controller
