#pragma once

#include <QString>

#include <functional>
#include <memory>

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

private:
    DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir);
    struct Private;
    std::unique_ptr<Private> d;
};
