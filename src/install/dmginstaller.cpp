#include "dmginstaller.h"

#include "filetree.h"
#include "imagetool.h"
#include "toolrunner.h"

#include "diag/itlog.h"
#include "platform/paths.h"
#include "platform/workertracker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace install;

namespace {

const char *const kMountFailedMessage = "Could not mount the disk image.";
const char *const kNotFoundMessage = "The application was not found in the disk image.";

// Running installers, so that an orderly exit and the tests can wait for the last detach.
platform::WorkerTracker &workers()
{
    static auto *tracker = new platform::WorkerTracker;
    return *tracker;
}

template <typename Task>
void postToGui(Task &&task)
{
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::forward<Task>(task), Qt::QueuedConnection);
}

bool pathExists(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0;
}

} // namespace

struct DMGInstaller::Private
{
    QString dmgPath;
    QString appName;
    QString destDir;
    Tools tools;
};

struct DMGInstaller::Result
{
    bool success = false;
    QString app;
    QString error;
};

DMGInstaller::Tools::Tools()
#ifdef Q_OS_MACOS
    : elevation(ElevationProtocol::AppleScript), elevationTool(QStringLiteral("/usr/bin/osascript")),
      quarantineTool(QStringLiteral("/usr/bin/xattr"))
#else
    : elevation(ElevationProtocol::Pkexec), elevationTool(QStringLiteral("/usr/bin/pkexec"))
#endif
{
}

DMGInstaller::DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir)
    : d(new Private{dmgPath, appName, destDir, Tools()})
{
}

DMGInstaller::~DMGInstaller() = default;

std::shared_ptr<DMGInstaller> DMGInstaller::create(const QString &dmgPath, const QString &appName,
                                                   const QString &destDir)
{
    return std::shared_ptr<DMGInstaller>(new DMGInstaller(dmgPath, appName, destDir));
}

QString DMGInstaller::dmgPath() const { return d->dmgPath; }
QString DMGInstaller::appName() const { return d->appName; }
QString DMGInstaller::destDir() const { return d->destDir; }
void DMGInstaller::setTools(Tools tools) { d->tools = std::move(tools); }
const DMGInstaller::Tools &DMGInstaller::tools() const { return d->tools; }

void DMGInstaller::start()
{
    auto self = shared_from_this();
    workers().started();
    try {
        std::thread([self]() mutable {
            try {
                self->run();
                // The last reference goes back to the GUI thread, where the handlers were made.
                postToGui([last = std::move(self)] {});
            } catch (...) {
                // run() keeps its own failures; nothing may leave the thread regardless.
            }
            workers().finished();
        }).detach();
    } catch (const std::system_error &e) {
        workers().finished();
        ITLog("INST: cannot start the install worker: %@", e.what());
        finish(false, {}, QString::fromLatin1(kMountFailedMessage));
    }
}

bool DMGInstaller::waitForWorkers(int timeoutMs)
{
    return workers().waitIdle(timeoutMs);
}

void DMGInstaller::run()
{
    std::optional<QString> mountPoint;
    Result result{false, {}, QString::fromLatin1(kMountFailedMessage)};
    std::shared_ptr<ImageTool> imageTool = d->tools.imageTool;
    try {
        if (!imageTool)
            imageTool = createDefaultImageTool();
        ITLog("INST: mounting %@", d->dmgPath);
        status("mount");
        mountPoint = imageTool->attach(d->dmgPath);
        if (mountPoint) {
            ITLog("INST: mounted at %@", *mountPoint);
            result = install(*mountPoint);
        }
    } catch (const std::exception &e) {
        ITLog("INST: install failed: %@", e.what());
        if (mountPoint)
            result = {false, {}, QString::fromLatin1(kCopyFailedMessage)};
    } catch (...) {
        ITLog("INST: install failed");
        if (mountPoint)
            result = {false, {}, QString::fromLatin1(kCopyFailedMessage)};
    }
    // The completion goes out first; the caller never waits for the detach.
    try {
        finish(result.success, result.app, result.error);
    } catch (...) {
    }
    if (mountPoint) {
        try {
            imageTool->detach(*mountPoint);
        } catch (...) {
        }
    }
}

DMGInstaller::Result DMGInstaller::install(const QString &mountPoint)
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
        return {false, {}, QString::fromLatin1(kNotFoundMessage)};

    const QString dest = joinPath(d->destDir, QFileInfo(candidate).fileName());
    ITLog("INST: copying %@ -> %@", candidate, dest);
    status("copy");
    if (const QString error = copyApp(candidate, dest); !error.isEmpty())
        return {false, {}, error};

    if (!d->tools.quarantineTool.isEmpty())
        runTool(d->tools.quarantineTool,
                {QStringLiteral("-dr"), QStringLiteral("com.apple.quarantine"), dest});
    ITLog("INST: install SUCCESS at %@", dest);
    return {true, dest, {}};
}

QString DMGInstaller::copyApp(const QString &source, const QString &dest)
{
    // A missing install folder is made as the user where that is allowed; otherwise the
    // privileged copy makes it.
    if (!pathExists(d->destDir))
        QDir().mkpath(d->destDir);
    const bool writable = d->tools.isWritable
                              ? d->tools.isWritable(d->destDir)
                              : ::access(QFile::encodeName(d->destDir).constData(), W_OK) == 0;
    if (writable) {
        const QString error = replaceWithCopy(source, dest);
        if (error.isEmpty())
            return {};
        ITLog("INST: direct copy failed (%@), retrying with privileges", error);
    }
    return privilegedCopy(source, dest);
}

QString DMGInstaller::privilegedCopy(const QString &source, const QString &dest)
{
    status("authorize");
    const Tools &tools = d->tools;
    std::optional<QString> out;
    std::optional<QString> err;
    int rc = 0;
    if (tools.elevation == ElevationProtocol::AppleScript) {
        rc = runTool(tools.elevationTool,
                     {QStringLiteral("-e"), appleScriptCopyScript(source, dest)}, &out, &err);
    } else {
        // Root cannot read the user's FUSE mount: the bundle goes through a staging copy in
        // the private folder, made as the user.
        const QString privateDir = platform::privateDirectory();
        QByteArray folder = QFile::encodeName(privateDir + QStringLiteral("/stage-XXXXXX"));
        if (privateDir.isEmpty() || !::mkdtemp(folder.data())) {
            ITLog("INST: cannot create a staging folder in %@", privateDir);
            return QString::fromLatin1(kCopyFailedMessage);
        }
        const QString staging = QFile::decodeName(folder);
        const QString staged = joinPath(staging, QFileInfo(dest).fileName());
        if (const QString error = copyTree(source, staged); !error.isEmpty()) {
            ITLog("INST: staging copy failed (%@)", error);
            removeTree(staging);
            return QString::fromLatin1(kCopyFailedMessage);
        }
        const QFileInfo target(dest);
        rc = runTool(tools.elevationTool,
                     {QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                      pkexecCopyCommand(staged, target.absolutePath(), target.absoluteFilePath())},
                     &out, &err);
        removeTree(staging);
    }
    if (rc == 0)
        return {};
    // Both streams: osascript reports a cancelled prompt on standard error.
    const QString output = out.value_or(QString()) + err.value_or(QString());
    ITLog("INST: privileged copy failed, rc=%d out=%@", rc, output);
    return privilegedFailureMessage(tools.elevation, rc, output);
}

void DMGInstaller::status(const char *stage)
{
    postToGui([self = shared_from_this(), word = QString::fromLatin1(stage)] {
        if (self->onStatus)
            self->onStatus(word);
    });
}

void DMGInstaller::finish(bool success, const QString &app, const QString &error)
{
    postToGui([self = shared_from_this(), success, app, error] {
        if (self->onComplete)
            self->onComplete(success, app, error);
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
