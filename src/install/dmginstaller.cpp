#include "dmginstaller.h"

#include "platform/leftovers.h"
#include "platform/ownfile.h"

#include "desktopentry.h"
#include "filetree.h"
#include "imagetool.h"
#include "toolrunner.h"

#include "diag/itlog.h"
#include "platform/uniquefd.h"
#include "platform/worker.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <exception>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace install {

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

// The entry itself, a link too: a bundle that is a link is found, and then refused.
bool entryExists(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The size and SHA-256 of what the descriptor reads, which is then rewound.
bool digestOf(int fd, RootInstall *install)
{
    QFile file;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) || !hash.addData(&file))
        return false;
    install->imageSize = file.pos();
    install->sha256 = hash.result();
    return ::lseek(fd, 0, SEEK_SET) == 0;
}

// A tar archive of the bundle at source, made by the system's tar in a new folder of privateDir
// (the image's folder: the user's private folder), open for reading, with its size and SHA-256 in
// install. The folder is gone when this returns; the descriptor holds the bytes, so nothing can
// swap them by name.
platform::UniqueFd bundleArchive(const QString &source, const QString &privateDir,
                                 RootInstall *install)
{
    const QString tar = systemTar();
    if (tar.isEmpty() || privateDir.isEmpty()) {
        ITLog("INST: %@, cannot hand the bundle to root",
              tar.isEmpty() ? QStringLiteral("no tar in /usr/bin or /bin")
                            : QStringLiteral("no private folder for its archive"));
        return {};
    }
    QTemporaryDir folder(privateDir + QStringLiteral("/archive-XXXXXX"));
    const QString file = folder.filePath(QStringLiteral("bundle.tar"));
    const QStringList arguments{QStringLiteral("--create"),    QStringLiteral("--force-local"),
                                QStringLiteral("--file"),      file,
                                QStringLiteral("--directory"), QFileInfo(source).path(),
                                QStringLiteral("--"),          QFileInfo(source).fileName()};
    std::optional<QString> errors;
    int rc = -1;
    if (folder.isValid())
        rc = runTool(tar, arguments, nullptr, &errors, QDeadlineTimer(kExtractLimitMs));
    platform::UniqueFd archive;
    checkpoint("archive");
    if (rc == 0)
        archive = platform::openOwnFile(file);
    if (!archive.isValid() || !digestOf(archive.get(), install)) {
        ITLog("INST: cannot make an archive of %@ in %@: rc=%d %@", source, privateDir, rc,
              errors.value_or(QString()).trimmed());
        return {};
    }
    install->payload = RootInstall::Payload::TarArchive;
    return archive;
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

InstallResult noSpace(const QString &folder, qint64 needed, qint64 available)
{
    ITLog("INST: not enough space in %@: %lld bytes needed, %lld available", folder, needed,
          available);
    InstallResult result;
    result.status = InstallResult::Status::NoSpace;
    result.spaceFolder = folder;
    result.bytesNeeded = needed;
    result.bytesAvailable = available;
    return result;
}

// Whether folder holds a staging folder after the user's own sweep: in a folder only root may
// change, a killed administrator install's.
bool holdsStaging(const QString &folder)
{
    return !QDir(folder)
                .entryList({QStringLiteral(".quillmarsh-*")},
                           QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty();
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
    return noSpace(folder, needed, available);
}

} // namespace

struct DMGInstaller::Private
{
    QString dmgPath;
    QString appName;
    QString destDir;
    Tools tools;
    qint64 imageSize = 0;
    QByteArray imageSha256;
    QStringList disposable;
    platform::Worker worker; // last: joined before the rest goes
};

DMGInstaller::Tools::Tools()
#ifdef Q_OS_MACOS
    : elevation(ElevationProtocol::AppleScript),
      elevationTool(QStringLiteral("/usr/bin/osascript")),
      quarantineTool(QStringLiteral("/usr/bin/xattr"))
#else
    : elevation(ElevationProtocol::Pkexec),
      // By its fixed path: one found through PATH could be anybody's.
      elevationTool(QStringLiteral("/usr/bin/pkexec"))
#endif
{}

DMGInstaller::DMGInstaller(const QString &dmgPath, const QString &appName, const QString &destDir)
    : d(new Private{dmgPath, appName, destDir, Tools(), 0, {}, {}, {}})
{}

// Waits for the worker, which may still be detaching the image: every tool it runs has a
// deadline, so the wait is bounded.
DMGInstaller::~DMGInstaller()
{
    d->worker.join();
}

std::unique_ptr<DMGInstaller> DMGInstaller::create(const QString &dmgPath, const QString &appName,
                                                   const QString &destDir)
{
    return std::unique_ptr<DMGInstaller>(new DMGInstaller(dmgPath, appName, destDir));
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
void DMGInstaller::setImageDigest(qint64 size, const QByteArray &sha256)
{
    d->imageSize = size;
    d->imageSha256 = sha256;
}
const DMGInstaller::Tools &DMGInstaller::tools() const
{
    return d->tools;
}
void DMGInstaller::setDisposableFiles(const QStringList &paths)
{
    d->disposable = paths;
}

void DMGInstaller::start()
{
    if (!d->worker.start([this] { run(); })) {
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
        status(InstallStep::Mount);
        mountPoint = imageTool->attach(d->dmgPath);
        if (mountPoint) {
            ITLog("INST: mounted at %@", *mountPoint);
            checkpoint("mounted");
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
    for (const QString &path : std::as_const(d->disposable))
        ::unlink(QFile::encodeName(path).constData());
}

InstallResult DMGInstaller::install(const QString &mountPoint)
{
    // A name only ever picks an entry of the volume's top level.
    QString candidate;
    if (isSinglePathComponent(d->appName))
        candidate = joinPath(mountPoint, d->appName);
    if (candidate.isEmpty() || !entryExists(candidate)) {
        if (const auto found = firstAppInDirectory(mountPoint))
            candidate = *found;
    }
    if (candidate.isEmpty() || !entryExists(candidate))
        return failed(kNotFoundMessage);

    const QString dest = joinPath(d->destDir, QFileInfo(candidate).fileName());
    ITLog("INST: copying %@ -> %@", candidate, dest);
    status(InstallStep::Copy);
    // Whoever copies, a bundle that would put links to elsewhere (or devices) into the install
    // folder is not installed.
    if (const QString problem = bundleProblem(candidate); !problem.isEmpty()) {
        ITLog("INST: refused to install %@: %@", QFileInfo(candidate).fileName(), problem);
        return failed(kCopyFailedMessage);
    }

    // What killed installs left beside the bundle goes first; it may be the space we need.
    if (const int removed = removeStaleStaging(d->destDir, QFileInfo(dest).fileName()); removed > 0)
        ITLog("INST: removed %d unfinished copy(ies) from %@", removed, d->destDir);
    InstallResult result = copyApp(candidate, dest, treeSize(candidate));
    if (result.status != InstallResult::Status::Installed)
        return result;
    if (!d->tools.quarantineTool.isEmpty())
        runTool(d->tools.quarantineTool,
                {QStringLiteral("-dr"), QStringLiteral("com.apple.quarantine"), dest}, nullptr,
                nullptr, QDeadlineTimer(kDetachLimitMs));
    ITLog("INST: install SUCCESS at %@", dest);
    if (d->tools.menuEntry)
        writeMenuEntry(dest); // a convenience: the app runs without it
    return result;
}

InstallResult DMGInstaller::copyApp(const QString &source, const QString &dest, qint64 size)
{
    // A missing install folder is made as the user where that is allowed; otherwise the
    // privileged copy makes it.
    if (!pathExists(d->destDir))
        QDir().mkpath(d->destDir);
    // Whether the folder takes a new entry is tried, not guessed from its mode bits. Where it
    // does, a failure is not one that administrator rights would mend.
    const int probe = probeWritable(d->destDir);
    if (probe == 0) {
        // The new copy is staged beside any old one, so the whole size is needed in any case.
        if (auto shortage = spaceShortage(d->destDir, size))
            return *shortage;
        const QString error = replaceWithCopy(source, dest);
        if (error.isEmpty())
            return installed(dest);
        ITLog("INST: direct copy failed (%@)", error);
        return failed(kCopyFailedMessage);
    }
    if (probe != EACCES && probe != EPERM && probe != ENOENT) {
        // A read-only file system, a file in the way, an I/O error: rights would not help.
        ITLog("INST: cannot write into %@: %@", d->destDir, qt_error_string(probe));
        return failed(kCopyFailedMessage);
    }
    ITLog("INST: %@ is not writable (%@), copying with privileges", d->destDir,
          qt_error_string(probe));
    return d->tools.elevation == ElevationProtocol::AppleScript ? appleScriptCopy(source, dest)
                                                                : rootInstall(source, dest, size);
}

InstallResult DMGInstaller::appleScriptCopy(const QString &source, const QString &dest)
{
    status(InstallStep::Authorize);
    if (!elevationToolPresent())
        return failed(kCopyFailedMessage);
    std::optional<QString> out;
    std::optional<QString> err;
    const int rc = runTool(d->tools.elevationTool,
                           {QStringLiteral("-e"), appleScriptCopyScript(source, dest)}, &out, &err);
    return rc == 0 ? installed(dest) : privilegedFailure(rc, out, err);
}

// Root is handed the image itself (an open descriptor on its standard input) with the digest it
// must have, never a path the user's programs could change while the prompt is open; and only
// a destination that no one else can change. A machine that cannot read the image as root gets
// an archive of the bundle made before the prompt opens, handed over the same way.
InstallResult DMGInstaller::rootInstall(const QString &source, const QString &dest, qint64 size)
{
    QString destDir;
    if (const QString problem = rootOnlyFolderProblem(d->destDir, &destDir); !problem.isEmpty()) {
        ITLog("INST: no administrator copy into %@: %@", d->destDir, problem);
        return failed(kCopyFailedMessage);
    }
    RootInstall install{destDir, QFileInfo(dest).fileName(), d->imageSize, d->imageSha256};
    install.bundleSize = size;
    platform::UniqueFd input;
    if (::access(QFile::encodeName(d->tools.rootExtractor).constData(), X_OK) == 0) {
        // The user's own programs may have put anything in the image's place since the
        // download: a FIFO would stall this worker for ever.
        input = platform::openOwnFile(d->dmgPath);
        if (!input.isValid() || (install.sha256.isEmpty() && !digestOf(input.get(), &install))) {
            ITLog("INST: cannot read the image %@: %@", d->dmgPath, qt_error_string(errno));
            return failed(kCopyFailedMessage);
        }
    } else {
        ITLog("INST: no %@ on this machine, root is handed an archive of the bundle",
              d->tools.rootExtractor);
        input = bundleArchive(source, QFileInfo(d->dmgPath).absolutePath(), &install);
        if (!input.isValid())
            return failed(kCopyFailedMessage);
    }
    // Root keeps its copy of the input beside the bundle until the bundle is out of it. A killed
    // administrator install's staging folder, which the user's sweep cannot remove, may take the
    // space: then root removes it and counts the space itself.
    if (auto shortage = spaceShortage(d->destDir, size + install.imageSize + kRootSpaceMargin)) {
        if (!holdsStaging(d->destDir))
            return *shortage;
        ITLog("INST: %@ holds an unfinished copy only root may remove, root is asked", d->destDir);
    }
    status(InstallStep::Authorize);
    if (!elevationToolPresent())
        return failed(kCopyFailedMessage);
    std::optional<QString> out;
    std::optional<QString> err;
    const int rc =
        runTool(d->tools.elevationTool,
                {QStringLiteral("/bin/sh"), QStringLiteral("-c"), pkexecInstallCommand(install)},
                &out, &err, QDeadlineTimer(QDeadlineTimer::Forever), input.get());
    if (rc == 0)
        return installed(dest);
    const InstallResult result = privilegedFailure(rc, out, err);
    static const QRegularExpression space(QStringLiteral("(\\d+) bytes needed, (\\d+) available$"),
                                          QRegularExpression::MultilineOption);
    const QRegularExpressionMatch numbers = space.match(err.value_or(QString()));
    if (rc != kRootNoSpaceStatus || !numbers.hasMatch())
        return result;
    return noSpace(d->destDir, numbers.captured(1).toLongLong(), numbers.captured(2).toLongLong());
}

bool DMGInstaller::elevationToolPresent() const
{
    const QString &tool = d->tools.elevationTool;
    if (!tool.isEmpty() && ::access(QFile::encodeName(tool).constData(), X_OK) == 0)
        return true;
    ITLog("INST: no %@ on this machine, cannot copy with administrator rights",
          d->tools.elevation == ElevationProtocol::Pkexec ? QStringLiteral("pkexec") : tool);
    return false;
}

InstallResult DMGInstaller::privilegedFailure(int rc, const std::optional<QString> &out,
                                              const std::optional<QString> &err) const
{
    // Both streams: osascript reports a cancelled prompt on standard error, and the root
    // command says there what it refused.
    const QString output = out.value_or(QString()) + err.value_or(QString());
    ITLog("INST: privileged copy failed, rc=%d out=%@", rc, output);
    const bool pkexec = d->tools.elevation == ElevationProtocol::Pkexec;
    if (pkexec && rc == 126)
        ITLog("INST: the authorization prompt was dismissed");
    else if (pkexec && rc == 127)
        ITLog("INST: pkexec could not authorize: no authentication agent, or the user is not "
              "allowed to act as administrator");
    InstallResult result;
    result.error = privilegedFailureMessage(d->tools.elevation, rc, output);
    return result;
}

void DMGInstaller::status(InstallStep stage)
{
    d->worker.post([this, stage] {
        if (const auto handler = onStatus)
            handler(stage);
    });
}

void DMGInstaller::finish(const InstallResult &result)
{
    // A copy runs: the handler may drop this instance, and with it the handler itself.
    d->worker.post([this, result] {
        if (const auto handler = onComplete)
            handler(result);
    });
}

QString installStepName(InstallStep stage)
{
    switch (stage) {
    case InstallStep::Mount:
        return QStringLiteral("mount");
    case InstallStep::Copy:
        return QStringLiteral("copy");
    case InstallStep::Authorize:
        return QStringLiteral("authorize");
    }
    return {};
}

} // namespace install
