#include "filetree.h"

#include "diag/itformat.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace install {

namespace {

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Q_DISABLE_COPY_MOVE(Fd)
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int close()
    {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

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

class TreeCopier
{
public:
    QString error;

    bool copy(int srcDir, const char *srcName, int dstDir, const char *dstName,
              const QByteArray &srcPath, const QByteArray &dstPath)
    {
        struct stat st {};
        if (::fstatat(srcDir, srcName, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return fail("cannot read", srcPath);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        // Set-id bits from an image are never carried over: the copy may be made by root.
        const mode_t mode = st.st_mode & 01777;

        if (S_ISLNK(st.st_mode)) {
            QByteArray target(qMax<qsizetype>(st.st_size, 255) + 1, '\0');
            const ssize_t n = ::readlinkat(srcDir, srcName, target.data(), size_t(target.size()));
            if (n < 0 || n >= target.size())
                return fail("cannot read link", srcPath);
            target.truncate(n);
            if (::symlinkat(target.constData(), dstDir, dstName) != 0)
                return fail("cannot create", dstPath);
            ::utimensat(dstDir, dstName, times, AT_SYMLINK_NOFOLLOW);
            return true;
        }
        if (S_ISREG(st.st_mode)) {
            Fd in(::openat(srcDir, srcName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (!in.valid())
                return fail("cannot read", srcPath);
            Fd out(::openat(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            0600));
            if (!out.valid())
                return fail("cannot create", dstPath);
            if (!copyData(in.get(), out.get()))
                return fail("cannot copy", srcPath);
            if (::fchmod(out.get(), mode) != 0 || ::futimens(out.get(), times) != 0 ||
                out.close() != 0)
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
        Fd dst(::openat(dstDir, dstName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dst.valid())
            return fail("cannot open", dstPath);
        const int srcFd = ::openat(srcDir, srcName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
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

void removeEntry(int dirFd, const char *name)
{
    struct stat st {};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlinkat(dirFd, name, 0);
        return;
    }
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmodat(dirFd, name, (st.st_mode & 07777) | S_IRWXU, 0);
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DirHandle dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
    if (dir) {
        // Names first, removal after: the listing is not disturbed by the removals.
        std::vector<QByteArray> names;
        while (const dirent *entry = ::readdir(dir.get())) {
            if (!isDotOrDotDot(entry->d_name))
                names.emplace_back(entry->d_name);
        }
        for (const QByteArray &child : names)
            removeEntry(::dirfd(dir.get()), child.constData());
    } else if (fd >= 0) {
        ::close(fd);
    }
    ::unlinkat(dirFd, name, AT_REMOVEDIR);
}

QString freshHiddenSibling(const QString &folder)
{
    for (;;) {
        const QString candidate = joinPath(
            folder, QStringLiteral(".quillmarsh-%1")
                        .arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')));
        struct stat st {};
        if (::lstat(QFile::encodeName(candidate).constData(), &st) != 0 && errno == ENOENT)
            return candidate;
    }
}

} // namespace

QString copyTree(const QString &source, const QString &dest)
{
    const QByteArray src = QFile::encodeName(source);
    const QByteArray dst = QFile::encodeName(dest);
    TreeCopier copier;
    copier.copy(AT_FDCWD, src.constData(), AT_FDCWD, dst.constData(), src, dst);
    return copier.error;
}

void removeTree(const QString &path)
{
    if (!path.isEmpty())
        removeEntry(AT_FDCWD, QFile::encodeName(path).constData());
}

QString replaceWithCopy(const QString &source, const QString &dest)
{
    const QString folder = QFileInfo(dest).path();
    const QString stage = freshHiddenSibling(folder);
    if (QString error = copyTree(source, stage); !error.isEmpty()) {
        removeTree(stage);
        return error;
    }

    const QByteArray stagePath = QFile::encodeName(stage);
    const QByteArray destPath = QFile::encodeName(dest);
    if (::renameat2(AT_FDCWD, stagePath.constData(), AT_FDCWD, destPath.constData(),
                    RENAME_EXCHANGE) == 0) {
        removeTree(stage); // now the old copy
        return {};
    }
    int error = errno;
    if (error == ENOENT) { // nothing to replace
        if (::rename(stagePath.constData(), destPath.constData()) == 0)
            return {};
        error = errno;
    } else if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        // No atomic exchange on this file system: move the old copy aside within the same
        // folder, and back again if the new one cannot take its place.
        const QString aside = freshHiddenSibling(folder);
        const QByteArray asidePath = QFile::encodeName(aside);
        if (::rename(destPath.constData(), asidePath.constData()) == 0) {
            if (::rename(stagePath.constData(), destPath.constData()) == 0) {
                removeTree(aside);
                return {};
            }
            error = errno;
            ::rename(asidePath.constData(), destPath.constData());
        } else {
            error = errno;
        }
    }
    removeTree(stage);
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
