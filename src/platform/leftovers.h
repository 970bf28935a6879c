#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// FUSE mount points below dir, from /proc/self/mountinfo, deepest first.
QStringList fuseMountsUnder(const QString &dir);

// Empties folder (which itself stays): every FUSE mount below it is detached lazily first, then
// files and folders are removed without ever descending into a mounted file system. Returns
// the number of top-level entries removed. Errors are ignored; what cannot go stays.
int clearFolder(const QString &folder);

} // namespace platform
