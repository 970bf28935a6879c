#include "ownfile.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace platform {

namespace {

// errno for what st is, 0 when it is a regular file of ours with one name.
int ownFileError(const struct stat &st)
{
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    if (st.st_uid != ::geteuid() || st.st_nlink != 1)
        return EACCES;
    return 0;
}

} // namespace

UniqueFd openOwnFile(const QString &path, int flags, struct stat *st)
{
    struct stat found
    {
    };
    UniqueFd fd(::open(QFile::encodeName(path).constData(),
                       (flags & O_ACCMODE) | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid())
        return fd;
    int error = ::fstat(fd.get(), &found) != 0 ? errno : ownFileError(found);
    // Reads and writes of a regular file never block anyway; the flag goes so that nothing
    // later is surprised by it.
    if (error == 0 && ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        fd.reset();
        errno = error;
        return fd;
    }
    if (st)
        *st = found;
    return fd;
}

std::optional<QByteArray> readOwnFile(const QString &path, qint64 maxBytes)
{
    struct stat st
    {
    };
    const UniqueFd fd = openOwnFile(path, O_RDONLY, &st);
    if (!fd.isValid())
        return std::nullopt;
    if (st.st_size > maxBytes) {
        errno = EFBIG;
        return std::nullopt;
    }
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    const ssize_t n = ::pread(fd.get(), bytes.data(), size_t(bytes.size()), 0);
    if (n != bytes.size()) {
        if (n >= 0)
            errno = EIO; // it shrank meanwhile
        return std::nullopt;
    }
    return bytes;
}

bool isOwnFile(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && isOwnFile(st);
}

bool isOwnFile(const struct stat &st)
{
    return ownFileError(st) == 0;
}

} // namespace platform
