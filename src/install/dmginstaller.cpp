#include "platform/leftovers.h"
#include "dmginstaller.h"

#include "filetree.h"
#include "imagetool.h"
#include "toolrunner.h"

#include "diag/itlog.h"
#include "platform/paths.h"
#include "platform/worker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <exception>
#include <functional>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

using namespace install;

namespace {

const char *const kMountFailedMessage = "Could not mount the disk image.";
const char *const kNotFoundMessage = "The application was not found in the disk image.";

bool pathExists(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

InstallResult failed(const char *message)
{
    InstallResult result;
    result.status = InstallResult::Status::Failed;
    result.error = QString::fromLatin1(message);
    return result;
}

InstallResult installed(const QString &app)
{
    InstallResult result;
    result.status = InstallResult::Status::Installed;
    result.app = app;
    return result;
}

// A NoSpace result when the file system of folder (or of its nearest existing ancestor, for a
// folder still to be made) has less than needed bytes free for the user; nothing when there is
// enough or the free space cannot be told.
std::optional<InstallResult> spaceShortage(const QString &folder, qint64 needed)
{
    QString existing = QFileInfo(folder).absoluteFilePath();
    while (!pathExists(existing) && existing != QFileInfo(existing).path())
        existing = QFileInfo(existing).path();
    const qint64 available = QStorageInfo(existing).bytesAvailable();
    if (needed <= 0 || available < 0 || available >= needed)
        return std::nullopt;
    ITLog("INST: not enough space in %@: %lld bytes needed, %lld available", folder, needed,
          available);
    InstallResult result;
    result.status = InstallResult::Status::NoSpace;
    result.spaceFolder = folder;
    result.bytesNeeded = needed;
    result.bytesAvailable = available;
    return result;
}

} // namespace

struct DMGInstaller::Private
{
    QString dmgPath;
    QString appName;
    QString destDir;
    Tools tools;
};

DMGInstaller::Tools::Tools()
#ifdef Q_OS_MACOS
    : elevation(ElevationProtocol::AppleScript),
      elevationTool(QStringLiteral("/usr/bin/osascript")),
      quarantineTool(QStringLiteral("/usr/bin/xattr"))
#else
    : elevation(ElevationProtocol::Pkexec),
      elevationTool(QStandardPaths::findExecutable(QStringLiteral("pkexec")))
#endif
{}

DMGInstaller::DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir)
    : d(new Private{dmgPath, appName, destDir, Tools()})
{}

DMGInstaller::~DMGInstaller() = default;

std::shared_ptr<DMGInstaller> DMGInstaller::create(const QString &dmgPath, const QString &appName,
                                                   const QString &destDir)
{
    return std::shared_ptr<DMGInstaller>(new DMGInstaller(dmgPath, appName, destDir));
}

QString DMGInstaller::dmgPath() const
{
    return d->dmgPath;
}
QString DMGInstaller::appName() const
{
    return d->appName;
}
QString DMGInstaller::destDir() const
{
    return d->destDir;
}
void DMGInstaller::setTools(Tools tools)
{
    d->tools = std::move(tools);
}
const DMGInstaller::Tools &DMGInstaller::tools() const
{
    return d->tools;
}

void DMGInstaller::start()
{
    const bool started =
        platform::startWorker(platform::WorkerKind::Install, [self = shared_from_this()]() mutable {
            self->run();
            // The last reference goes back to the GUI thread, where the handlers were made.
            platform::postToGui([last = std::move(self)] {});
        });
    if (!started) {
        ITLog("INST: cannot start the install worker");
        finish(failed(kMountFailedMessage));
    }
}

void DMGInstaller::run()
{
    std::optional<QString> mountPoint;
    InstallResult result = failed(kMountFailedMessage);
    std::shared_ptr<ImageTool> imageTool = d->tools.imageTool;
    try {
        if (!imageTool)
            imageTool = createDefaultImageTool();
        ITLog("INST: mounting %@", d->dmgPath);
        status(InstallStage::Mount);
        mountPoint = imageTool->attach(d->dmgPath);
        if (mountPoint) {
            ITLog("INST: mounted at %@", *mountPoint);
            result = install(*mountPoint);
        }
    } catch (const std::exception &e) {
        ITLog("INST: install failed: %@", e.what());
        if (mountPoint)
            result = failed(kCopyFailedMessage);
    } catch (...) {
        ITLog("INST: install failed");
        if (mountPoint)
            result = failed(kCopyFailedMessage);
    }
    // The completion goes out first; the caller never waits for the detach.
    try {
        finish(result);
    } catch (...) {
    }
    if (mountPoint) {
        try {
            imageTool->detach(*mountPoint);
        } catch (...) {
        }
    }
}

InstallResult DMGInstaller::install(const QString &mountPoint)
{
    // A name only ever picks an entry of the volume's top level.
    QString candidate;
    if (isSinglePathComponent(d->appName))
        candidate = joinPath(mountPoint, d->appName);
    if (candidate.isEmpty() || !pathExists(candidate)) {
        if (const auto found = firstAppInDirectory(mountPoint))
            candidate = *found;
    }
    if (candidate.isEmpty() || !pathExists(candidate))
        return failed(kNotFoundMessage);

    const QString dest = joinPath(d->destDir, QFileInfo(candidate).fileName());
    ITLog("INST: copying %@ -> %@", candidate, dest);
    status(InstallStage::Copy);

    // What killed installs left beside the bundle goes first; it may be the space we need.
    if (const int removed = removeStaleStaging(d->destDir, QFileInfo(dest).fileName()); removed > 0)
        ITLog("INST: removed %d unfinished copy(ies) from %@", removed, d->destDir);
    // The new copy is staged beside any old one, so the whole size is needed in any case.
    const qint64 size = treeSize(candidate);
    if (auto shortage = spaceShortage(d->destDir, size))
        return *shortage;

    InstallResult result = copyApp(candidate, dest, size);
    if (result.status != InstallResult::Status::Installed)
        return result;
    if (!d->tools.quarantineTool.isEmpty())
        runTool(d->tools.quarantineTool,
                {QStringLiteral("-dr"), QStringLiteral("com.apple.quarantine"), dest}, nullptr,
                nullptr, QDeadlineTimer(kDetachLimitMs));
    ITLog("INST: install SUCCESS at %@", dest);
    return result;
}

InstallResult DMGInstaller::copyApp(const QString &source, const QString &dest, qint64 size)
{
    // A missing install folder is made as the user where that is allowed; otherwise the
    // privileged copy makes it.
    if (!pathExists(d->destDir))
        QDir().mkpath(d->destDir);
    // Whether the folder takes a new entry is tried, not guessed from its mode bits.
    const int probe = probeWritable(d->destDir);
    if (probe == 0) {
        const QString error = replaceWithCopy(source, dest);
        if (error.isEmpty())
            return installed(dest);
        ITLog("INST: direct copy failed (%@), retrying with privileges", error);
    } else if (probe == EACCES || probe == EPERM || probe == ENOENT) {
        ITLog("INST: %@ is not writable (%@), copying with privileges", d->destDir,
              qt_error_string(probe));
    } else {
        // A read-only file system, a file in the way, an I/O error: rights would not help.
        ITLog("INST: cannot write into %@: %@", d->destDir, qt_error_string(probe));
        return failed(kCopyFailedMessage);
    }
    return privilegedCopy(source, dest, size);
}

InstallResult DMGInstaller::privilegedCopy(const QString &source, const QString &dest, qint64 size)
{
    status(InstallStage::Authorize);
    const Tools &tools = d->tools;
    if (tools.elevationTool.isEmpty() ||
        ::access(QFile::encodeName(tools.elevationTool).constData(), X_OK) != 0) {
        ITLog("INST: no %@ on this machine, cannot copy with administrator rights",
              tools.elevation == ElevationProtocol::Pkexec ? QStringLiteral("pkexec")
                                                           : tools.elevationTool);
        return failed(kCopyFailedMessage);
    }
    std::optional<QString> out;
    std::optional<QString> err;
    int rc = 0;
    if (tools.elevation == ElevationProtocol::AppleScript) {
        rc = runTool(tools.elevationTool,
                     {QStringLiteral("-e"), appleScriptCopyScript(source, dest)}, &out, &err);
    } else {
        // Root cannot read the user's FUSE mount: the bundle goes through a copy in the private
        // folder, made as the user; the command line then stages it again beside dest.
        const QString privateDir = platform::privateDirectory();
        if (privateDir.isEmpty()) {
            ITLog("INST: no private folder for the staging copy");
            return failed(kCopyFailedMessage);
        }
        if (auto shortage = spaceShortage(privateDir, size))
            return *shortage;
        QTemporaryDir staging(privateDir + QStringLiteral("/stage-XXXXXX"));
        staging.setAutoRemove(false); // removeTree also takes read-only folders of the bundle
        if (!staging.isValid()) {
            ITLog("INST: cannot create a staging folder in %@: %@", privateDir,
                  staging.errorString());
            return failed(kCopyFailedMessage);
        }
        const QString staged = joinPath(staging.path(), QFileInfo(dest).fileName());
        if (const QString error = copyTree(source, staged); !error.isEmpty()) {
            ITLog("INST: staging copy failed (%@)", error);
            platform::removeTree(staging.path());
            return failed(kCopyFailedMessage);
        }
        const QFileInfo target(dest);
        rc = runTool(tools.elevationTool,
                     {QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                      pkexecCopyCommand(staged, target.absolutePath(), target.absoluteFilePath())},
                     &out, &err);
        platform::removeTree(staging.path());
    }
    if (rc == 0)
        return installed(dest);
    // Both streams: osascript reports a cancelled prompt on standard error.
    const QString output = out.value_or(QString()) + err.value_or(QString());
    ITLog("INST: privileged copy failed, rc=%d out=%@", rc, output);
    if (tools.elevation == ElevationProtocol::Pkexec && rc == 126)
        ITLog("INST: the authorization prompt was dismissed");
    else if (tools.elevation == ElevationProtocol::Pkexec && rc == 127)
        ITLog("INST: pkexec could not authorize: no authentication agent, or the user is not "
              "allowed to act as administrator");
    InstallResult result;
    result.error = privilegedFailureMessage(tools.elevation, rc, output);
    return result;
}

void DMGInstaller::status(InstallStage stage)
{
    platform::postToGui([self = shared_from_this(), stage] {
        if (self->onStatus)
            self->onStatus(stage);
    });
}

void DMGInstaller::finish(const InstallResult &result)
{
    platform::postToGui([self = shared_from_this(), result] {
        if (self->onComplete)
            self->onComplete(result);
    });
}

QString installStageName(InstallStage stage)
{
    switch (stage) {
    case InstallStage::Mount:
        return QStringLiteral("mount");
    case InstallStage::Copy:
        return QStringLiteral("copy");
    case InstallStage::Authorize:
        return QStringLiteral("authorize");
    }
    return {};
}
