#include "resumestate.h"

#include "folderlayout.h"
#include "platform/ownfile.h"
#include "platform/uniquefd.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace download {

namespace {

const QByteArray kMagic = QByteArrayLiteral("QMRS");
constexpr quint8 kVersion = 2;
constexpr qint64 kMaxStateFileBytes = 64 * 1024;
constexpr int kChecksumSize = 32;

} // namespace

QByteArray ResumeState::encode() const
{
    QByteArray payload;
    {
        QDataStream out(&payload, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_4);
        out.writeRawData(kMagic.constData(), kMagic.size());
        out << kVersion << url << partialPath << offset << total << validator << heldSha256
            << savedAtMs;
    }
    return payload + QCryptographicHash::hash(payload, QCryptographicHash::Sha256);
}

std::optional<ResumeState> ResumeState::decode(const QByteArray &blob)
{
    if (blob.size() <= kMagic.size() + 1 + kChecksumSize || !blob.startsWith(kMagic))
        return std::nullopt;
    const QByteArray payload = blob.left(blob.size() - kChecksumSize);
    if (QCryptographicHash::hash(payload, QCryptographicHash::Sha256) != blob.right(kChecksumSize))
        return std::nullopt;
    QDataStream in(payload);
    in.setVersion(QDataStream::Qt_6_4);
    in.skipRawData(kMagic.size());
    quint8 version = 0;
    in >> version;
    if (version != kVersion)
        return std::nullopt;
    ResumeState s;
    in >> s.url >> s.partialPath >> s.offset >> s.total >> s.validator >> s.heldSha256 >>
        s.savedAtMs;
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    return s;
}

std::optional<ContentRange> parseContentRange(const QByteArray &value)
{
    const QByteArray v = value.trimmed();
    if (!v.startsWith("bytes "))
        return std::nullopt;
    const QByteArray range = v.mid(6).trimmed();
    const int dash = range.indexOf('-'), slash = range.indexOf('/');
    if (dash <= 0 || slash <= dash)
        return std::nullopt;
    bool ok1 = false, ok2 = false, ok3 = false;
    ContentRange r;
    r.first = range.left(dash).toLongLong(&ok1);
    r.last = range.mid(dash + 1, slash - dash - 1).toLongLong(&ok2);
    r.total = range.mid(slash + 1).toLongLong(&ok3);
    if (!ok1 || !ok2 || !ok3 || r.first < 0 || r.last < r.first || r.total <= r.last)
        return std::nullopt;
    return r;
}

platform::UniqueFd createPartialFile(const QString &destFile, QString *path)
{
    const QString dir = QFileInfo(destFile).absolutePath();
    for (int tries = 0; tries < 16; ++tries) {
        const QString candidate =
            dir + u'/' + layout::partialPrefix(destFile) +
            QString::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, u'0');
        const int fd = ::open(QFile::encodeName(candidate).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *path = candidate;
            return platform::UniqueFd(fd);
        }
        if (errno != EEXIST)
            break;
    }
    return platform::UniqueFd();
}

bool isPartialPathFor(const QString &path, const QString &destFile)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.absolutePath() == QFileInfo(destFile).absolutePath() &&
           info.fileName().startsWith(layout::partialPrefix(destFile)) &&
           info.fileName().size() > layout::partialPrefix(destFile).size();
}

platform::UniqueFd openPartialForResume(const ResumeState &state, const QString &url,
                                        const QString &destFile, bool anyHost, QString *reason)
{
    if (state.url != url && !anyHost) {
        *reason = QStringLiteral("made for another address");
        return platform::UniqueFd();
    }
    if (!isPartialPathFor(state.partialPath, destFile)) {
        *reason = QStringLiteral("partial file in the wrong place");
        return platform::UniqueFd();
    }
    if (state.offset <= 0 || state.total < state.offset || state.validator.isEmpty() ||
        state.heldSha256.size() != kChecksumSize) {
        *reason = QStringLiteral("nothing to continue");
        return platform::UniqueFd();
    }
    const QByteArray native = QFile::encodeName(state.partialPath);
    struct stat before
    {
    };
    // A complete file lands at destFile; a run that ended before installing it left it there.
    if (state.offset == state.total && ::lstat(native.constData(), &before) != 0 &&
        ::lstat(QFile::encodeName(destFile).constData(), &before) == 0 &&
        platform::isOwnFile(before))
        ::rename(QFile::encodeName(destFile).constData(), native.constData());
    if (::lstat(native.constData(), &before) != 0 || !platform::isOwnFile(before)) {
        *reason = QStringLiteral("partial file missing or not ours");
        return platform::UniqueFd();
    }
    if (before.st_size < state.offset) {
        *reason = QStringLiteral("partial file has %1 bytes, expected %2")
                      .arg(qint64(before.st_size))
                      .arg(state.offset);
        return platform::UniqueFd();
    }
    struct stat after
    {
    };
    // Read too: the held bytes are hashed.
    platform::UniqueFd fd = platform::openOwnFile(state.partialPath, O_RDWR, &after);
    // The file opened must be the one inspected, not something swapped in meanwhile.
    if (!fd.isValid() || after.st_dev != before.st_dev || after.st_ino != before.st_ino ||
        after.st_size < state.offset ||
        (after.st_size > state.offset && ::ftruncate(fd.get(), state.offset) != 0) ||
        ::lseek(fd.get(), state.offset, SEEK_SET) != state.offset) {
        *reason = QStringLiteral("partial file cannot be reopened");
        return platform::UniqueFd();
    }
    return fd;
}

bool writeStateFile(const QString &path, const QByteArray &blob)
{
    const QByteArray native = QFile::encodeName(path),
                     fresh = QFile::encodeName(layout::stateScratchFile(path));
    ::unlink(fresh.constData());
    platform::UniqueFd fd(
        ::open(fresh.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.isValid() || ::write(fd.get(), blob.constData(), size_t(blob.size())) != blob.size() ||
        ::fsync(fd.get()) != 0 || ::rename(fresh.constData(), native.constData()) != 0) {
        ::unlink(fresh.constData());
        return false;
    }
    const platform::UniqueFd dir(
        ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.isValid() && ::fsync(dir.get()) == 0;
}

std::optional<QByteArray> readStateFile(const QString &path)
{
    return platform::readOwnFile(path, kMaxStateFileBytes);
}

void removeStalePartials(const QString &destFile, const QString &keep)
{
    const QFileInfo dest(destFile);
    const QDir dir(dest.absolutePath());
    const QStringList names = dir.entryList({layout::partialPrefix(destFile) + u'*'},
                                            QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = dir.absoluteFilePath(name);
        if (path == keep)
            continue;
        struct stat st
        {
        };
        const QByteArray native = QFile::encodeName(path);
        if (::lstat(native.constData(), &st) == 0 &&
            (platform::isOwnFile(st) || S_ISLNK(st.st_mode)))
            ::unlink(native.constData());
    }
}

} // namespace download
