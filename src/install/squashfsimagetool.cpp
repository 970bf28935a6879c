#include "squashfsimagetool.h"

#include "platform/leftovers.h"

#include "filetree.h"
#include "platform/uniquefd.h"
#include "toolrunner.h"

#include "diag/itlog.h"
#include "platform/paths.h"
#include "platform/process.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace install {

namespace {

// A new folder of mode 0700 named prefix-XXXXXX in workDir; empty when it cannot be made.
// Removing it is the caller's: an extraction may hold read-only folders.
QString makePrivateFolder(const QString &workDir, const char *prefix)
{
    QTemporaryDir folder(workDir + u'/' + QLatin1String(prefix) + QStringLiteral("-XXXXXX"));
    folder.setAutoRemove(false);
    return folder.isValid() ? folder.path() : QString();
}

// squashfuse returning 0 should mean mounted; the device number proves it.
bool isMountedOver(const QString &path)
{
    struct stat inner
    {
    };
    struct stat outer
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &inner) == 0 &&
           ::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &outer) == 0 &&
           inner.st_dev != outer.st_dev;
}

QString toolName(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

QString SquashfsImageTool::findTool(const char *name, bool besideFirst)
{
    const QString tool = QString::fromLatin1(name);
    if (besideFirst && QCoreApplication::instance()) {
        const QString beside =
            QStandardPaths::findExecutable(tool, {QCoreApplication::applicationDirPath()});
        if (!beside.isEmpty())
            return beside;
    }
    return QStandardPaths::findExecutable(tool);
}

SquashfsImageTool::SquashfsImageTool() = default;

SquashfsImageTool::SquashfsImageTool(Paths paths) : m_paths(std::move(paths)) {}

std::optional<QString> SquashfsImageTool::attach(const QString &imagePath)
{
    const QString workDir =
        m_paths.workDir.isEmpty() ? QFileInfo(imagePath).absolutePath() : m_paths.workDir;
    if (workDir.isEmpty()) {
        ITLog("INST: no private folder to attach the image in");
        return std::nullopt;
    }
    if (m_paths.squashfuse.isEmpty() && m_paths.unsquashfs.isEmpty()) {
        ITLog("INST: neither squashfuse nor unsquashfs is installed (Debian packages squashfuse "
              "and squashfs-tools), cannot open the image");
        return std::nullopt;
    }
    // An absolute path can never be taken for an option by the tools.
    const QString image = QFileInfo(imagePath).absoluteFilePath();
    if (fuseUsable()) {
        bool fuseRefused = false;
        if (auto mountPoint = mountWithFuse(image, workDir, &fuseRefused))
            return mountPoint;
        if (!fuseRefused)
            return std::nullopt;
    }
    if (m_paths.unsquashfs.isEmpty()) {
        ITLog("INST: FUSE cannot be used and unsquashfs is not installed (Debian package "
              "squashfs-tools), cannot open the image");
        return std::nullopt;
    }
    ITLog("INST: FUSE cannot be used, extracting the image with %@", toolName(m_paths.unsquashfs));
    return extract(image, workDir);
}

void SquashfsImageTool::detach(const QString &mountPoint)
{
    if (mountPoint.isEmpty())
        return;
    ITLog("INST: detaching %@", mountPoint);
    if (!m_extractedVolume.isEmpty() && mountPoint == m_extractedVolume) {
        platform::removeTree(m_extractionFolder);
        m_extractedVolume.clear();
        m_extractionFolder.clear();
        return;
    }
    if (!platform::detachFuseMount(m_paths.fusermount, mountPoint, QDeadlineTimer(kDetachLimitMs)))
        ITLog("INST: %@ could not be unmounted", mountPoint);
    ::rmdir(QFile::encodeName(mountPoint).constData());
}

bool SquashfsImageTool::fuseUsable() const
{
    const platform::UniqueFd device(
        ::open(QFile::encodeName(m_paths.fuseDevice).constData(), O_RDWR | O_CLOEXEC));
    if (!device.isValid()) {
        ITLog("INST: %@ cannot be opened: %@", m_paths.fuseDevice, qt_error_string(errno));
        return false;
    }
    return !m_paths.squashfuse.isEmpty() && !m_paths.fusermount.isEmpty() &&
           ::access(QFile::encodeName(m_paths.squashfuse).constData(), X_OK) == 0 &&
           ::access(QFile::encodeName(m_paths.fusermount).constData(), X_OK) == 0;
}

std::optional<QString> SquashfsImageTool::mountWithFuse(const QString &imagePath,
                                                        const QString &workDir, bool *fuseRefused)
{
    const QString mountPoint = makePrivateFolder(workDir, "mount");
    if (mountPoint.isEmpty()) {
        ITLog("INST: cannot create a mount point in %@", workDir);
        return std::nullopt;
    }
    std::optional<QString> errors;
    const int rc = runTool(m_paths.squashfuse,
                           {QStringLiteral("-o"), QStringLiteral("ro"), imagePath, mountPoint},
                           nullptr, &errors, QDeadlineTimer(m_paths.attachLimitMs));
    if (rc == 0 && isMountedOver(mountPoint))
        return mountPoint;

    ITLog("INST: %@ attach failed, rc=%d", toolName(m_paths.squashfuse), rc);
    // squashfuse names "squashfs image" in every complaint about the image itself; anything
    // else (FUSE device, fusermount, permissions, a tool that did not start) is FUSE's.
    *fuseRefused = !errors || !errors->contains(QLatin1String("squashfs image"));
    ::rmdir(QFile::encodeName(mountPoint).constData());
    return std::nullopt;
}

std::optional<QString> SquashfsImageTool::extract(const QString &imagePath, const QString &workDir)
{
    const QString folder = makePrivateFolder(workDir, "image");
    if (folder.isEmpty()) {
        ITLog("INST: cannot create a folder for the image in %@", workDir);
        return std::nullopt;
    }
    const QString volume = folder + QStringLiteral("/volume");
    const int rc =
        runTool(m_paths.unsquashfs,
                {QStringLiteral("-no-progress"), QStringLiteral("-d"), volume, imagePath}, nullptr,
                nullptr, QDeadlineTimer(m_paths.extractLimitMs));
    if (rc != 0) {
        ITLog("INST: %@ attach failed, rc=%d", toolName(m_paths.unsquashfs), rc);
        platform::removeTree(folder);
        return std::nullopt;
    }
    // Read-only like a mounted volume: nothing can be added or removed at its top level. The
    // entries inside keep the image's own permissions, which the installed copy carries.
    const QByteArray volumePath = QFile::encodeName(volume);
    struct stat st
    {
    };
    if (::stat(volumePath.constData(), &st) == 0)
        ::chmod(volumePath.constData(), st.st_mode & 07555);
    ::chmod(QFile::encodeName(folder).constData(), 0500);
    m_extractedVolume = volume;
    m_extractionFolder = folder;
    return volume;
}

} // namespace install
