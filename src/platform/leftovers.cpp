#include "leftovers.h"

#include "process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

namespace {

constexpr int kMinUnmountWaitMs = 1000; // even past the deadline, give each detach a moment

// mountinfo escapes space, tab, newline and backslash as three octal digits.
QString unescapeMountField(const QByteArray &field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

// Mount points at or below dir (a canonical path), deepest first.
QStringList mountsAt(const QString &dir, bool fuseOnly, bool withDir)
{
    QStringList found;
    QFile info(QStringLiteral("/proc/self/mountinfo"));
    if (dir.isEmpty() || !info.open(QIODevice::ReadOnly))
        return found;
    const QString prefix = dir == QLatin1String("/") ? QString() : dir;
    for (const QByteArray &line : info.readAll().split('\n')) {
        // id parent dev root mount-point options [optional...] - fstype source super-options
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-", 6);
        if (dash < 0 || dash + 1 >= fields.size())
            continue;
        if (fuseOnly && !fields.at(dash + 1).startsWith("fuse"))
            continue;
        const QString point = unescapeMountField(fields.at(4));
        if (point.startsWith(prefix + u'/') || (withDir && point == dir))
            found.append(point);
    }
    std::sort(found.begin(), found.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    return found;
}

// Depth first, without following links. A bind mount keeps the device number, so mount points
// are also skipped by name.
void removeBelow(const QString &path, dev_t device, const QStringList &mounts)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st = {};
    if (::lstat(native.constData(), &st) != 0 || st.st_dev != device || mounts.contains(path))
        return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(native.constData());
        return;
    }
    // A bundle may hold read-only folders; their entries can only go once they are writable.
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        ::chmod(native.constData(), (st.st_mode & 07777) | S_IRWXU);
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        removeBelow(path + u'/' + name, device, mounts);
    ::rmdir(native.constData());
}

bool exists(const QString &path)
{
    struct stat st = {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The real path of the folder holding path, with path's own last component kept as it is, so
// that a link is removed rather than followed.
QString realPathKeepingName(const QString &path)
{
    const QFileInfo info(path);
    const QString parent = info.absoluteDir().canonicalPath();
    if (parent.isEmpty())
        return {};
    return parent == QLatin1String("/") ? u'/' + info.fileName() : parent + u'/' + info.fileName();
}

} // namespace

QStringList fuseMountsUnder(const QString &dir)
{
    return mountsAt(QFileInfo(dir).canonicalFilePath(), true, false);
}

bool removeTree(const QString &path)
{
    const QString real = realPathKeepingName(path);
    if (real.isEmpty() || real == QLatin1String("/") || QFileInfo(path).fileName().isEmpty())
        return !exists(path);
    struct stat st = {};
    if (::lstat(QFile::encodeName(real).constData(), &st) != 0)
        return true;
    removeBelow(real, st.st_dev, mountsAt(real, false, true));
    return !exists(real);
}

int clearFolder(const QString &folder, QDeadlineTimer deadline, const QStringList &keep)
{
    // The mount table names real paths.
    const QString dir = QFileInfo(folder).canonicalFilePath();
    if (dir.isEmpty() || dir == QLatin1String("/"))
        return 0;
    const QStringList fuseMounts = mountsAt(dir, true, false);
    const QString fusermount = fuseMounts.isEmpty()
                                   ? QString()
                                   : QStandardPaths::findExecutable(QStringLiteral("fusermount3"));
    for (const QString &point : fuseMounts) {
        if (!fusermount.isEmpty())
            detachFuseMount(fusermount, point,
                            deadline.isForever()
                                ? deadline
                                : QDeadlineTimer(std::max<qint64>(deadline.remainingTime(),
                                                                  kMinUnmountWaitMs)));
    }
    struct stat top = {};
    if (::lstat(QFile::encodeName(dir).constData(), &top) != 0 || !S_ISDIR(top.st_mode))
        return 0;
    const QStringList mounts = mountsAt(dir, false, false);
    int removed = 0;
    const QStringList names =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (keep.contains(name))
            continue;
        const QString path = dir + u'/' + name;
        removeBelow(path, top.st_dev, mounts);
        if (!exists(path))
            ++removed;
    }
    return removed;
}

} // namespace platform
