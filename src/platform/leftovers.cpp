#include "leftovers.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <ftw.h>
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

int removeEntry(const char *path, const struct stat *, int type, struct FTW *)
{
    if (type == FTW_DP)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0; // keep going whatever failed
}

// Depth first, physical, and never across a mount point: a live mount is left alone.
void removeTree(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    ::nftw(native.constData(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

} // namespace

QStringList mountsUnder(const QString &dir)
{
    QStringList found;
    QFile info(QStringLiteral("/proc/self/mountinfo"));
    if (dir.isEmpty() || !info.open(QIODevice::ReadOnly))
        return found;
    const QString prefix = QDir::cleanPath(dir);
    for (const QByteArray &line : info.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        const QString point = unescapeMountField(fields.at(4));
        if (point == prefix || point.startsWith(prefix + u'/'))
            found.append(point);
    }
    std::sort(found.begin(), found.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    return found;
}

int clearFolder(const QString &dir)
{
    if (dir.isEmpty())
        return 0;
    for (const QString &point : mountsUnder(dir)) {
        if (point == QDir::cleanPath(dir))
            continue;
        QProcess unmount;
        unmount.start(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), point});
        if (!unmount.waitForFinished(kUnmountTimeoutMs))
            unmount.kill();
        unmount.waitForFinished(1000);
    }
    int removed = 0;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        removeTree(entry.absoluteFilePath());
        struct stat st {};
        if (::lstat(QFile::encodeName(entry.absoluteFilePath()).constData(), &st) != 0)
            ++removed;
    }
    return removed;
}

} // namespace platform
