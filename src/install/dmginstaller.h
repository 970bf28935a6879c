#pragma once

#include "privilegedcopy.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace install {

class ImageTool;

// The steps the user is told about, with the names the log uses for them.
enum class InstallStep { Mount, Copy, Authorize };
QString installStepName(InstallStep stage); // "mount", "copy", "authorize"

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
// destDir (with administrator rights when needed), detach. Runs on a worker thread of its own;
// the stages and the single completion arrive on the GUI thread, never after the instance is
// gone. The completion comes before the detach; dropping the instance waits for the detach.
class DMGInstaller
{
public:
    static std::unique_ptr<DMGInstaller> create(const QString &dmgPath, const QString &appName,
                                                const QString &destDir);
    ~DMGInstaller();

    std::function<void(InstallStep stage)> onStatus;
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
    // Files removed on the worker once the image is detached, whatever the outcome (the image).
    void setDisposableFiles(const QStringList &paths);

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
    void status(InstallStep stage);
    void finish(const InstallResult &result);
};

} // namespace install
