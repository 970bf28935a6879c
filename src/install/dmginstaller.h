#pragma once

#include "privilegedcopy.h"

#include <QString>

#include <functional>
#include <memory>

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
// destDir (with administrator rights when needed), detach. Runs on a worker thread; stage words
// ("mount", "copy", "authorize") and the single completion arrive on the GUI thread. The worker
// keeps the instance alive until the image is detached, so the caller may drop it at any time.
class DMGInstaller : public std::enable_shared_from_this<DMGInstaller>
{
public:
    static std::shared_ptr<DMGInstaller> create(const QString &dmgPath, const QString &appName,
                                                const QString &destDir);
    ~DMGInstaller();

    std::function<void(const QString &stage)> onStatus;
    // app is empty on failure, error is empty on success.
    std::function<void(bool success, const QString &app, const QString &error)> onComplete;

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
        QString elevationTool;  // osascript or pkexec
        QString quarantineTool; // xattr; empty where there is no quarantine attribute
        // Whether the current user may write into the install folder; null: access(2).
        // Called on the worker thread.
        std::function<bool(const QString &folder)> isWritable;
        Tools();
    };
    void setTools(Tools tools);
    const Tools &tools() const;

    // Waits up to timeoutMs until every started installer has detached its image and let go
    // of itself; true when none is left. For an orderly exit and for tests.
    static bool waitForWorkers(int timeoutMs);

private:
    DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir);
    struct Private;
    std::unique_ptr<Private> d;

    struct Result;
    void run();
    Result install(const QString &mountPoint);
    QString copyApp(const QString &source, const QString &dest);
    QString privilegedCopy(const QString &source, const QString &dest);
    void status(const char *stage);
    void finish(bool success, const QString &app, const QString &error);
};
