#include "dmginstaller.h"

#include <QCoreApplication>
#include <QTimer>

// Placeholder until the install pipeline lands: every run fails at once.
struct DMGInstaller::Private
{
    QString dmgPath;
    QString appName;
    QString destDir;
};

DMGInstaller::DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir)
    : d(new Private{dmgPath, appName, destDir})
{
}

DMGInstaller::~DMGInstaller() = default;

std::shared_ptr<DMGInstaller> DMGInstaller::create(const QString &dmgPath, const QString &appName,
                                                   const QString &destDir)
{
    return std::shared_ptr<DMGInstaller>(new DMGInstaller(dmgPath, appName, destDir));
}

void DMGInstaller::start()
{
    auto self = shared_from_this();
    QTimer::singleShot(0, QCoreApplication::instance(), [self] {
        if (self->onComplete)
            self->onComplete(false, {}, QStringLiteral("Could not mount the disk image."));
    });
}

QString DMGInstaller::dmgPath() const { return d->dmgPath; }
QString DMGInstaller::appName() const { return d->appName; }
QString DMGInstaller::destDir() const { return d->destDir; }
