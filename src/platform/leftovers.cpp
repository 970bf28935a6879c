#include "leftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace platform {

namespace {

constexpr int kUnmountTimeoutMs = 5000;

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

// Depth first, without following links, and never into another file system: a mount point
// (whatever its kind) and everything under it is left alone.
void removeTree(const QString &path, dev_t device, const QStringList &mounts)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || st.st_dev != device || mounts.contains(path))
        return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(native.constData());
        return;
    }
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        removeTree(path + u'/' + name, device, mounts);
    ::rmdir(native.constData());
}

QStringList mountsUnder(const QString &dir, bool fuseOnly)
{
    QStringList found;
    QFile info(QStringLiteral("/proc/self/mountinfo"));
    if (dir.isEmpty() || !info.open(QIODevice::ReadOnly))
        return found;
    const QString prefix = QDir::cleanPath(dir);
    for (const QByteArray &line : info.readAll().split('\n')) {
        // id parent dev root mount-point options [optional...] - fstype source super-options
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-", 6);
        if (dash < 0 || dash + 1 >= fields.size())
            continue;
        if (fuseOnly && !fields.at(dash + 1).startsWith("fuse"))
            continue;
        const QString point = unescapeMountField(fields.at(4));
        if (point.startsWith(prefix + u'/'))
            found.append(point);
    }
    std::sort(found.begin(), found.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    return found;
}

} // namespace

QStringList fuseMountsUnder(const QString &dir)
{
    return mountsUnder(dir, true);
}

int clearFolder(const QString &folder)
{
    // The mount table names real paths.
    const QString dir = QFileInfo(folder).canonicalFilePath();
    if (dir.isEmpty() || dir == QLatin1String("/"))
        return 0;
    for (const QString &point : fuseMountsUnder(dir)) {
        QProcess unmount;
        unmount.start(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), point});
        if (!unmount.waitForFinished(kUnmountTimeoutMs))
            unmount.kill();
        unmount.waitForFinished(1000);
    }
    struct stat top {};
    if (::lstat(QFile::encodeName(dir).constData(), &top) != 0 || !S_ISDIR(top.st_mode))
        return 0;
    // A bind mount keeps the device number, so mount points are also skipped by name.
    const QStringList mounts = mountsUnder(dir, false);
    int removed = 0;
    const QStringList names =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = dir + u'/' + name;
        removeTree(path, top.st_dev, mounts);
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            ++removed;
    }
    return removed;
}

} // namespace platform
