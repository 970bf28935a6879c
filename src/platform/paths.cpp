#include "paths.h"

#include "leftovers.h"
#include "uniquefd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <climits>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

const QString kUsualName = QStringLiteral("quillmarsh-installer");
// Hidden, so that one made in the home folder stays out of sight; QTemporaryDir fills the Xs.
const QString kFreshPrefix = QStringLiteral(".quillmarsh-installer-");

// The folder this process decided on; its lock tells later runs it is in use.
struct PrivateFolderState
{
    std::mutex mutex;
    bool decided = false;
    QString path;
    bool fresh = false;
    UniqueFd lock;
};

// Never destroyed: a worker may still ask for the folder while static objects go away.
PrivateFolderState &privateFolder()
{
    static auto *folder = new PrivateFolderState;
    return *folder;
}

// Whether no one but root and the user can change where path leads: no link on the way, and
// every folder from the root folder down to it root's or the user's and writable by no one else.
// A sticky folder counts as safe: its other users may add entries but not rename or remove ours.
// Another user who may rename a folder on the way could otherwise put one of theirs in its
// place between a check and a use.
bool onlyOursOnTheWay(const QByteArray &path)
{
    char real[PATH_MAX];
    if (!::realpath(path.constData(), real) || path != real)
        return false;
    for (QByteArray folder = path;;) {
        struct stat st = {};
        if (::lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
            ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0))
            return false;
        if (folder == "/")
            return true;
        const qsizetype slash = folder.lastIndexOf('/');
        folder.truncate(slash > 0 ? slash : 1);
    }
}

// Usable means: a real directory we own, that nobody else can enter, that we can write into (a
// read-only file system fails here even for root), and on a way no one else can change.
bool isPrivateDir(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st = {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if ((st.st_mode & 077) != 0 || (st.st_mode & 0700) != 0700)
        return false;
    return ::faccessat(AT_FDCWD, native.constData(), W_OK | X_OK, AT_EACCESS) == 0 &&
           onlyOursOnTheWay(native);
}

// A fresh folder from an earlier run is ours to remove only when it is still exactly what we
// made (a folder, ours, 0700) and no running installer holds its lock.
void removeStaleFolders(const QString &root)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(kFreshPrefix) + QStringLiteral("[A-Za-z0-9]{6}")));
    const QStringList names =
        QDir(root).entryList(QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (!pattern.match(name).hasMatch())
            continue;
        const QString path = root + u'/' + name;
        const UniqueFd lock = lockFolder(path);
        struct stat st = {};
        if (!lock.isValid() || ::fstat(lock.get(), &st) != 0 || st.st_uid != ::geteuid() ||
            (st.st_mode & 0777) != 0700)
            continue;
        // Any image still mounted in it is detached first; nothing is removed through a mount.
        clearFolder(path);
        ::rmdir(QFile::encodeName(path).constData());
    }
}

bool makeFreshFolder(const QString &root, PrivateFolderState &folder)
{
    QTemporaryDir dir(root + u'/' + kFreshPrefix + QStringLiteral("XXXXXX"));
    if (!dir.isValid())
        return false;
    // Removed by releasePrivateDirectory, which never deletes through a mount.
    dir.setAutoRemove(false);
    UniqueFd lock = lockFolder(dir.path());
    if (!lock.isValid() || !isPrivateDir(dir.path())) {
        ::rmdir(QFile::encodeName(dir.path()).constData());
        return false;
    }
    folder.path = dir.path();
    folder.fresh = true;
    folder.lock = std::move(lock);
    return true;
}

void decide(PrivateFolderState &folder)
{
    // Where a private folder may go, most usual first: the cache folders hold the usual folder
    // or a fresh one beside it; the home folder only ever a fresh one.
    struct Root
    {
        QString path;
        bool usual;
    };
    std::vector<Root> roots;
    const QString home = homeDirectory();
    const QString homeCache = home.isEmpty() ? QString() : home + QStringLiteral("/.cache");
    for (const QString &cache : {xdgDirectory(XdgDirectory::Cache), homeCache}) {
        if (!cache.isEmpty() && std::none_of(roots.begin(), roots.end(),
                                             [&](const Root &r) { return r.path == cache; }))
            roots.push_back({cache, true});
    }
    if (!home.isEmpty())
        roots.push_back({home, false});
    // The runtime folder last: it is memory, but safe where the home folder is not.
    const QString runtime = xdgDirectory(XdgDirectory::Runtime);
    if (!runtime.isEmpty())
        roots.push_back({runtime, false});

    // Each root by the folders that really hold it: a link on the way may lead elsewhere later.
    // Leftovers go only where no one else can swap a folder between the check and the removal.
    const auto real = [](const QString &path) { return QFileInfo(path).canonicalFilePath(); };
    for (const Root &root : roots) {
        const QString path = real(root.path);
        if (!path.isEmpty() && onlyOursOnTheWay(QFile::encodeName(path)))
            removeStaleFolders(path);
    }
    for (const Root &root : roots) {
        if (root.usual)
            QDir().mkpath(root.path);
        const QString path = real(root.path);
        if (path.isEmpty())
            continue;
        if (root.usual) {
            // Held while this run lives: a second run of the user's that got past the
            // single-instance rule (another session, another seat) must not empty this one's
            // folder or resume into its partial file, so it takes a fresh folder of its own.
            const QString usual = path + u'/' + kUsualName;
            ::mkdir(QFile::encodeName(usual).constData(), 0700);
            UniqueFd lock = lockFolder(usual);
            if (lock.isValid() && isPrivateDir(usual)) {
                folder.path = usual;
                folder.lock = std::move(lock);
                return;
            }
        }
        if (makeFreshFolder(path, folder))
            return;
    }
}

} // namespace

UniqueFd lockFolder(const QString &path)
{
    UniqueFd fd(::open(QFile::encodeName(path).constData(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.isValid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno; // for the caller's message, past the close
        fd.reset();
        errno = error;
    }
    return fd;
}

QString homeDirectory()
{
    // The root folder is no home: nothing of ours is ever written straight into it.
    const auto usable = [](const QString &dir) {
        return QDir::isAbsolutePath(dir) && QDir::cleanPath(dir) != QLatin1String("/");
    };
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return usable(home) ? QDir::cleanPath(home) : QString();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir)
        return {};
    const QString dir = QFile::decodeName(found->pw_dir);
    return usable(dir) ? QDir::cleanPath(dir) : QString();
}

QString xdgDirectory(XdgDirectory which)
{
    const char *name = which == XdgDirectory::Cache   ? "XDG_CACHE_HOME"
                       : which == XdgDirectory::State ? "XDG_STATE_HOME"
                                                      : "XDG_RUNTIME_DIR";
    const QString value = qEnvironmentVariable(name);
    if (QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    const QString home = homeDirectory();
    if (which == XdgDirectory::Runtime || home.isEmpty())
        return {};
    return home + (which == XdgDirectory::Cache ? QStringLiteral("/.cache")
                                                : QStringLiteral("/.local/state"));
}

QString privateDirectory()
{
    PrivateFolderState &folder = privateFolder();
    std::lock_guard lock(folder.mutex);
    if (!folder.decided) {
        decide(folder);
        folder.decided = true;
    }
    return folder.path;
}

bool releasePrivateDirectory()
{
    PrivateFolderState &folder = privateFolder();
    std::lock_guard lock(folder.mutex);
    if (!folder.fresh || !folder.lock.isValid())
        return true;
    clearFolder(folder.path);
    const bool gone = removeTree(folder.path);
    folder.lock.reset();
    return gone;
}

QString logsDirectory()
{
    const QString state = xdgDirectory(XdgDirectory::State);
    return state.isEmpty() ? QString() : state + QStringLiteral("/Logs");
}

QString programDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget().section(u'/', 0, -2);
}

QString defaultInstallFolder()
{
    return homeDirectory() + QStringLiteral("/Applications");
}

} // namespace platform
