#pragma once

#include "privilegedcopy.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace install {
class ImageTool;
}

// The steps the user is told about, with the names the log uses for them.
enum class InstallStage { Mount, Copy, Authorize };
QString installStageName(InstallStage stage); // "mount", "copy", "authorize"

// How one install ended.
struct InstallResult
{
    enum class Status { Installed, Failed, NoSpace };
    Status status = Status::Failed;
    QString app;   // Installed: path of the installed bundle
    QString error; // Failed: the text shown to the user
    // NoSpace: the folder that is short of space, what the copy needs there and what is free.
    QString spaceFolder;
    qint64 bytesNeeded = 0;
    qint64 bytesAvailable = 0;
};

// Installs the application bundle from a disk image: mount read-only, copy the bundle into
// destDir (with administrator rights when needed), detach. Runs on an install worker thread;
// the stages and the single completion arrive on the GUI thread. The worker keeps the instance
// alive until the image is detached, so the caller may drop it at any time; an orderly exit
// waits for it with platform::waitForWorkers(platform::WorkerKind::Install, deadline).
class DMGInstaller : public std::enable_shared_from_this<DMGInstaller>
{
public:
    static std::shared_ptr<DMGInstaller> create(const QString &dmgPath, const QString &appName,
                                                const QString &destDir);
    ~DMGInstaller();

    std::function<void(InstallStage stage)> onStatus;
    std::function<void(const InstallResult &result)> onComplete;

    void start();

    QString dmgPath() const;
    QString appName() const;
    QString destDir() const;

    // The system services the pipeline uses. The shipped program keeps the platform's defaults;
    // tests and development tools replace them before start().
    struct Tools
    {
        std::shared_ptr<install::ImageTool> imageTool; // null: the platform's image tool
        install::ElevationProtocol elevation;
        QString elevationTool;  // osascript, or /usr/bin/pkexec
        QString quarantineTool; // xattr; empty where there is no quarantine attribute
        bool menuEntry = false; // write the desktop's menu entry for the installed bundle
        // Whether root can read the image itself is asked of this path; where it is missing,
        // root is handed a tar archive of the bundle instead.
        QString rootExtractor = QString::fromLatin1(install::kRootExtractor);
        Tools();
    };
    void setTools(Tools tools);
    // The image's size and SHA-256 (32 raw bytes) as verified or as they arrived; the
    // administrator's copy accepts only these bytes. Unset: taken from the file when needed.
    void setImageDigest(qint64 size, const QByteArray &sha256);
    const Tools &tools() const;

private:
    DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir);
    struct Private;
    std::unique_ptr<Private> d;

    void run();
    InstallResult install(const QString &mountPoint);
    InstallResult copyApp(const QString &source, const QString &dest, qint64 size);
    InstallResult appleScriptCopy(const QString &source, const QString &dest);
    InstallResult rootInstall(const QString &source, const QString &dest, qint64 size);
    bool elevationToolPresent() const;
    InstallResult privilegedFailure(int rc, const std::optional<QString> &out,
                                    const std::optional<QString> &err) const;
    void status(InstallStage stage);
    void finish(const InstallResult &result);
};
