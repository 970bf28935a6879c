#include "filetree.h"

#include "platform/leftovers.h"
#include "platform/paths.h"

#include "platform/uniquefd.h"

#include "diag/itformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace install {

namespace {

Checkpoint s_checkpoint = nullptr;
bool s_exchange = true;

const char kStagePrefix[] = ".quillmarsh-";

struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// copy_file_range stays in the kernel (and may share blocks on the same file system);
// sendfile still spares the trip through user space across file systems; read/write works
// everywhere. A method is given up only before it has moved any data.
bool copyData(int in, int out)
{
    enum class Method { Range, Sendfile, ReadWrite } method = Method::Range;
    bool copied = false;
    std::vector<char> buffer;
    for (;;) {
        ssize_t n = 0;
        if (method == Method::Range) {
            n = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        } else if (method == Method::Sendfile) {
            n = ::sendfile(out, in, nullptr, size_t(1) << 30);
        } else {
            buffer.resize(256 * 1024);
            n = ::read(in, buffer.data(), buffer.size());
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t w = ::write(out, buffer.data() + done, size_t(n - done));
                if (w < 0 && errno != EINTR)
                    return false;
                done += w > 0 ? w : 0;
            }
        }
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const bool unsupported = errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                                     errno == EOPNOTSUPP || errno == EBADF || errno == EPERM;
            if (copied || !unsupported || method == Method::ReadWrite)
                return false;
            method = method == Method::Range ? Method::Sendfile : Method::ReadWrite;
            continue;
        }
        copied = true;
    }
}

// The target of the link name in dirFd; nullopt when it is no link or cannot be read.
std::optional<QByteArray> linkTarget(int dirFd, const char *name)
{
    struct stat st
    {
    };
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
        return std::nullopt;
    QByteArray target(qMax<qsizetype>(st.st_size, 255) + 1, '\0');
    const ssize_t n = ::readlinkat(dirFd, name, target.data(), size_t(target.size()));
    if (n < 0 || n >= target.size())
        return std::nullopt;
    target.truncate(n);
    return target;
}

class TreeCopier
{
public:
    QString error;

    bool copy(int srcDir, const char *srcName, int dstDir, const char *dstName,
              const QByteArray &srcPath, const QByteArray &dstPath)
    {
        checkpoint("entry");
        struct stat st
        {
        };
        if (::fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return fail("cannot read", srcPath);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        // What a careless or hostile image asks for is not granted: no set-id or sticky bits,
        // and no one but the owner may change the installed program.
        const mode_t mode = st.st_mode & 0755;

        if (S_ISLNK(st.st_mode)) {
            const std::optional<QByteArray> target = linkTarget(srcDir, srcName);
            if (!target)
                return fail("cannot read link", srcPath);
            if (::symlinkat(target->constData(), dstDir, dstName) != 0)
                return fail("cannot create", dstPath);
            ::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW);
            return true;
        }
        if (S_ISREG(st.st_mode)) {
            platform::UniqueFd in(::openat(srcDir, srcName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (!in.isValid())
                return fail("cannot read", srcPath);
            platform::UniqueFd out(::openat(
                dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!out.isValid())
                return fail("cannot create", dstPath);
            if (!copyData(in.get(), out.get()))
                return fail("cannot copy", srcPath);
            if (::fchmod(out.get(), mode) != 0 || ::futimens(out.get(), times) != 0 ||
                out.reset() != 0)
                return fail("cannot write", dstPath);
            return true;
        }
        if (S_ISDIR(st.st_mode))
            return copyDirectory(srcDir, srcName, dstDir, dstName, srcPath, dstPath, mode, times);

        error = ITFormat("cannot copy %@: not a file, folder or link", QFile::decodeName(srcPath));
        return false;
    }

private:
    bool fail(const char *what, const QByteArray &path)
    {
        const int code = errno;
        error = ITFormat("%@ %@: %@", what, QFile::decodeName(path), qt_error_string(code));
        return false;
    }

    bool copyDirectory(int srcDir, const char *srcName, int dstDir, const char *dstName,
                       const QByteArray &srcPath, const QByteArray &dstPath, mode_t mode,
                       const timespec times[2])
    {
        if (::mkdirat(dstDir, dstName, 0700) != 0)
            return fail("cannot create", dstPath);
        platform::UniqueFd dst(
            ::openat(dstDir, dstName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dst.isValid())
            return fail("cannot open", dstPath);
        const int srcFd =
            ::openat(srcDir, srcName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DirHandle dir(srcFd >= 0 ? ::fdopendir(srcFd) : nullptr);
        if (!dir) {
            const int savedErrno = errno;
            if (srcFd >= 0)
                ::close(srcFd);
            errno = savedErrno;
            return fail("cannot list", srcPath);
        }
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(dir.get());
            if (!entry) {
                if (errno != 0)
                    return fail("cannot list", srcPath);
                break;
            }
            if (isDotOrDotDot(entry->d_name))
                continue;
            if (!copy(::dirfd(dir.get()), entry->d_name, dst.get(), entry->d_name,
                      srcPath + '/' + entry->d_name, dstPath + '/' + entry->d_name))
                return false;
        }
        // Mode and times last: a read-only source folder must not stop its own filling, and
        // adding entries would move the modification time again.
        if (::fchmod(dst.get(), mode) != 0 || ::futimens(dst.get(), times) != 0)
            return fail("cannot write", dstPath);
        return true;
    }
};

// Bytes a copy of the entry takes: every file and folder rounded up to whole 4 KiB blocks,
// which is what common file systems allocate. Short links live in the inode.
qint64 entrySize(int dirFd, const char *name, bool *ok)
{
    constexpr qint64 block = 4096;
    struct stat st
    {
    };
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *ok = false;
        return 0;
    }
    if (S_ISLNK(st.st_mode))
        return st.st_size < 60 ? 0 : block;
    if (!S_ISDIR(st.st_mode))
        return (qint64(st.st_size) + block - 1) / block * block;
    qint64 total = block;
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DirHandle dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        *ok = false;
        return 0;
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        if (!isDotOrDotDot(entry->d_name))
            total += entrySize(::dirfd(dir.get()), entry->d_name, ok);
    }
    return total;
}

constexpr int kMaxLinkHops = 40;

// Where a link leads: inside the bundle, out of it, or round in a loop (more hops than the
// kernel would follow).
enum class LinkEnd { Inside, Outside, Loop };

// Where the link target, read in the folder given by its components below root, resolves to.
// Links met on the way are followed (within root); a missing entry ends the walk, and the rest
// is taken as written.
LinkEnd linkEnd(const QByteArray &root, QByteArrayList folder, const QByteArray &target)
{
    if (target.startsWith('/'))
        return LinkEnd::Outside;
    QByteArrayList todo = target.split('/');
    int hops = 0;
    while (!todo.isEmpty()) {
        const QByteArray part = todo.takeFirst();
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (folder.isEmpty())
                return LinkEnd::Outside;
            folder.removeLast();
            continue;
        }
        const QByteArray path = root + '/' + (folder + QByteArrayList{part}).join('/');
        const std::optional<QByteArray> next = linkTarget(AT_FDCWD, path.constData());
        if (!next) {
            folder.append(part);
            continue;
        }
        if (next->startsWith('/'))
            return LinkEnd::Outside;
        if (++hops > kMaxLinkHops)
            return LinkEnd::Loop;
        todo = next->split('/') + todo;
    }
    return LinkEnd::Inside;
}

// A byte below 0x20 or DEL: a name holding one reads as another in every listing by lines.
bool hasControl(const QByteArray &bytes)
{
    return std::any_of(bytes.begin(), bytes.end(),
                       [](char c) { return uchar(c) < 0x20 || uchar(c) == 0x7f; });
}

// The name as "ls --quoting-style=escape" writes it: backslashes and control characters as C
// escapes, so that the log shows it on one line.
QString escaped(const QByteArray &name)
{
    QByteArray out;
    for (const char c : name) {
        const uchar u = uchar(c);
        if (c == '\\')
            out += "\\\\";
        else if (u >= '\a' && u <= '\r')
            out += QByteArray("\\") + "abtnvfr"[u - '\a'];
        else if (u < 0x20 || u == 0x7f)
            out += QByteArray("\\") + QByteArray::number(u, 8).rightJustified(3, '0');
        else
            out += c;
    }
    return QFile::decodeName(out);
}

QString controlProblem(const QByteArray &name)
{
    return ITFormat("%@ has a control character in its name or link target", escaped(name));
}

// Walks the tree below dirFd (whose components below the bundle are in folder).
QString treeProblem(const QByteArray &root, int dirFd, const QByteArrayList &folder)
{
    const int fd = ::dup(dirFd);
    DirHandle dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        return ITFormat("cannot list %@", QFile::decodeName(root + '/' + folder.join('/')));
    }
    while (const dirent *entry = ::readdir(dir.get())) {
        if (isDotOrDotDot(entry->d_name))
            continue;
        const QByteArrayList here = folder + QByteArrayList{entry->d_name};
        const QString name = escaped(here.join('/'));
        struct stat st
        {
        };
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return ITFormat("cannot read %@", name);
        if (S_ISLNK(st.st_mode)) {
            const std::optional<QByteArray> target = linkTarget(dirFd, entry->d_name);
            const LinkEnd end = target ? linkEnd(root, folder, *target) : LinkEnd::Outside;
            if (end != LinkEnd::Inside)
                return ITFormat("%@ is a link that %@", name,
                                end == LinkEnd::Loop ? "loops" : "leaves the bundle");
            if (hasControl(*target) || hasControl(entry->d_name))
                return controlProblem(here.join('/'));
        } else if (hasControl(entry->d_name)) {
            return controlProblem(here.join('/'));
        } else if (S_ISDIR(st.st_mode)) {
            const platform::UniqueFd sub(
                ::openat(dirFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub.isValid())
                return ITFormat("cannot list %@", name);
            if (QString problem = treeProblem(root, sub.get(), here); !problem.isEmpty())
                return problem;
        } else if (!S_ISREG(st.st_mode)) {
            return ITFormat("%@ is not a file, folder or link", name);
        }
    }
    return {};
}

} // namespace

void setExchangeAvailable(bool available)
{
    s_exchange = available;
}

void setCheckpoint(Checkpoint hook)
{
    s_checkpoint = hook;
}

void checkpoint(const char *step)
{
    if (s_checkpoint)
        s_checkpoint(step);
}

qint64 treeSize(const QString &path)
{
    bool ok = true;
    const qint64 size = entrySize(AT_FDCWD, QFile::encodeName(path).constData(), &ok);
    return ok ? size : -1;
}

QString bundleProblem(const QString &bundle)
{
    const QByteArray root = QFile::encodeName(bundle);
    const platform::UniqueFd fd(
        ::open(root.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid())
        return ITFormat("%@ is not a folder", QFileInfo(bundle).fileName());
    if (const QByteArray name = QFile::encodeName(QFileInfo(bundle).fileName()); hasControl(name))
        return controlProblem(name);
    return treeProblem(root, fd.get(), {});
}

QString rootOnlyFolderProblem(const QString &folder, QString *resolved)
{
    // The nearest existing folder is resolved once; what is still to be made goes below it.
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    QStringList missing;
    struct stat st
    {
    };
    while (::lstat(QFile::encodeName(existing).constData(), &st) != 0 && existing != u"/") {
        missing.prepend(QFileInfo(existing).fileName());
        existing = QFileInfo(existing).path();
    }
    char real[PATH_MAX];
    if (!::realpath(QFile::encodeName(existing).constData(), real))
        return ITFormat("cannot resolve %@: %@", existing, qt_error_string(errno));
    const QString base = QFile::decodeName(real);
    QStringList chain{QStringLiteral("/")};
    for (const QString &part : base.split(u'/', Qt::SkipEmptyParts))
        chain << joinPath(chain.last(), part);
    for (const QString &path : chain) {
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            return ITFormat("%@ is not a folder", path);
        if (st.st_uid != 0)
            return ITFormat("%@ belongs to uid %d, not to root", path, int(st.st_uid));
        if (st.st_mode & (S_IWGRP | S_IWOTH))
            return ITFormat("%@ may be written by others (mode %@)", path,
                            QString::number(st.st_mode & 07777, 8));
    }
    *resolved = missing.isEmpty() ? base : joinPath(base, missing.join(u'/'));
    return {};
}

int probeWritable(const QString &folder)
{
    QByteArray probe = QFile::encodeName(joinPath(folder, QLatin1String(kStagePrefix))) + "XXXXXX";
    if (!::mkdtemp(probe.data()))
        return errno;
    ::rmdir(probe.constData());
    return 0;
}

int removeStaleStaging(const QString &folder, const QString &bundleName)
{
    const QByteArray bundle = QFile::encodeName(bundleName);
    const int folderFd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DirHandle dir(folderFd >= 0 ? ::fdopendir(folderFd) : nullptr);
    if (!dir) {
        if (folderFd >= 0)
            ::close(folderFd);
        return 0;
    }
    std::vector<QByteArray> names;
    while (const dirent *entry = ::readdir(dir.get())) {
        if (std::strncmp(entry->d_name, kStagePrefix, sizeof kStagePrefix - 1) == 0)
            names.emplace_back(entry->d_name);
    }
    int removed = 0;
    for (const QByteArray &name : names) {
        // A live install holds a lock on its staging folder from creation to removal.
        const platform::UniqueFd stage =
            platform::lockFolder(joinPath(folder, QFile::decodeName(name)));
        if (!stage.isValid())
            continue;
        // Killed between the two renames of a swap without exchange: the old copy goes back.
        struct stat bundleStat
        {
        };
        if (!bundle.isEmpty() &&
            ::fstatat(::dirfd(dir.get()), bundle.constData(), &bundleStat, AT_SYMLINK_NOFOLLOW) !=
                0 &&
            errno == ENOENT)
            ::renameat(stage.get(), "old", ::dirfd(dir.get()), bundle.constData());
        removed += platform::removeTree(joinPath(folder, QFile::decodeName(name)));
    }
    return removed;
}

QString copyTree(const QString &source, const QString &dest)
{
    const QByteArray src = QFile::encodeName(source);
    const QByteArray dst = QFile::encodeName(dest);
    TreeCopier copier;
    copier.copy(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), src, dst);
    return copier.error;
}

// The new copy is built in a locked hidden folder beside dest, on dest's file system, so that
// it takes dest's place with one rename and the old copy leaves through the same folder. A
// process killed at any point leaves dest complete (old or new) and at most that hidden
// folder, which removeStaleStaging() recognises by its name and its missing lock.
QString replaceWithCopy(const QString &source, const QString &dest)
{
    const QString folder = QFileInfo(dest).path();
    // mkdtemp tries a bounded number of names and gives up on any error but "exists".
    QByteArray stageName =
        QFile::encodeName(joinPath(folder, QLatin1String(kStagePrefix))) + "XXXXXX";
    if (!::mkdtemp(stageName.data()))
        return ITFormat("cannot create a folder in %@: %@", folder, qt_error_string(errno));
    const QString stage = QFile::decodeName(stageName);
    const platform::UniqueFd lock = platform::lockFolder(stage);
    if (!lock.isValid()) {
        const int error = errno;
        platform::removeTree(stage);
        return ITFormat("cannot lock %@: %@", stage, qt_error_string(error));
    }

    const QString fresh = stage + QStringLiteral("/new");
    if (QString error = copyTree(source, fresh); !error.isEmpty()) {
        platform::removeTree(stage);
        return error;
    }
    const QByteArray freshPath = QFile::encodeName(fresh);
    const QByteArray destPath = QFile::encodeName(dest);
    checkpoint("exchange");
    if (!s_exchange)
        errno = EINVAL;
    else if (::renameat2(AT_FDCWD, freshPath.constData(), AT_FDCWD, destPath.constData(),
                         RENAME_EXCHANGE) == 0) {
        checkpoint("remove old");
        platform::removeTree(stage); // "new" now holds the old copy
        return {};
    }
    int error = errno;
    if (error == ENOENT) { // nothing to replace
        checkpoint("rename");
        if (::rename(freshPath.constData(), destPath.constData()) == 0) {
            platform::removeTree(stage);
            return {};
        }
        error = errno;
    } else if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        // No atomic exchange on this file system: move the old copy aside into the staging
        // folder, and back again if the new one cannot take its place.
        const QByteArray asidePath = QFile::encodeName(stage + QStringLiteral("/old"));
        if (::rename(destPath.constData(), asidePath.constData()) == 0) {
            checkpoint("aside");
            if (::rename(freshPath.constData(), destPath.constData()) == 0) {
                platform::removeTree(stage);
                return {};
            }
            error = errno;
            ::rename(asidePath.constData(), destPath.constData());
        } else {
            error = errno;
        }
    }
    platform::removeTree(stage);
    return ITFormat("cannot move the copy to %@: %@", dest, qt_error_string(error));
}
std::optional<QString> firstAppInDirectory(const QString &folder)
{
    DirHandle dir(::opendir(QFile::encodeName(folder).constData()));
    if (!dir)
        return std::nullopt;
    while (const dirent *entry = ::readdir(dir.get())) {
        const QString name = QFile::decodeName(entry->d_name);
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot >= 0 && QStringView(name).mid(dot + 1) == u"app")
            return joinPath(folder, name);
    }
    return std::nullopt;
}

QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

bool isSinglePathComponent(const QString &name)
{
    return !name.isEmpty() && name != u"." && name != u".." && !name.contains(u'/') &&
           !name.contains(QChar(0));
}

} // namespace install
