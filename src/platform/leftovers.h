#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Mount points at or below dir, from /proc/self/mountinfo, deepest first.
QStringList mountsUnder(const QString &dir);

// Empties dir (which itself stays): every FUSE mount below it is detached lazily first, then
// files and folders are removed without ever descending into a mounted file system. Returns
// the number of top-level entries removed. Errors are ignored; what cannot go stays.
int clearFolder(const QString &dir);

} // namespace platform
