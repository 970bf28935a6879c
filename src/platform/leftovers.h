#pragma once

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

namespace platform {

// FUSE mount points below dir, from /proc/self/mountinfo, deepest first.
QStringList fuseMountsUnder(const QString &dir);

// Removes path (a file, a link or a whole folder tree) without following links and without
// ever descending into another file system: a mount point and everything under it stays, and
// so do the folders above it. Returns whether path is gone. Errors are ignored.
bool removeTree(const QString &path);

// Empties folder (which itself stays): every FUSE mount below it is detached lazily first
// (each detach waits until deadline at most), then everything else goes through removeTree.
// Returns the number of top-level entries removed. Top-level entries named in keep stay.
int clearFolder(const QString &folder, QDeadlineTimer deadline = QDeadlineTimer(10000),
                const QStringList &keep = {});

} // namespace platform
