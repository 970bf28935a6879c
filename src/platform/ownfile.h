#pragma once

#include "uniquefd.h"

#include <QByteArray>
#include <QString>

#include <optional>

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

// Opens path only when it is a regular file of the user's own, with one name (a hard link
// could share another file's bytes). A link is not followed, and a FIFO, socket or device is
// never waited on: the open does not block, and the opened descriptor is what is checked. The
// user's own programs may put anything in the private folder, and a start that blocks on a
// FIFO never shows its window. flags is O_RDONLY or O_RDWR. Invalid, with errno set, otherwise;
// st, when given, receives what the descriptor was found to be.
UniqueFd openOwnFile(const QString &path, int flags = O_RDONLY, struct stat *st = nullptr);

// The whole of such a file, when it holds at most maxBytes; nothing otherwise, errno set.
std::optional<QByteArray> readOwnFile(const QString &path, qint64 maxBytes);

// Whether path itself (a link not followed) is such a file. Nothing is opened.
bool isOwnFile(const QString &path);
// Whether st, from an lstat or fstat, describes such a file.
bool isOwnFile(const struct stat &st);

} // namespace platform
