#pragma once

#include "platform/uniquefd.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace download {

// What an interrupted download leaves for the next attempt: the partial file beside the
// destination and the facts needed to continue it without splicing two versions of the file.
// Callers treat the encoded blob as opaque; it carries a format version and a checksum so a
// truncated or altered blob is refused instead of misread.
struct ResumeState
{
    QString url;          // address the partial file came from
    QString partialPath;  // "<destFile>.part-XXXXXXXX"
    qint64 offset = 0;    // bytes held in the partial file
    qint64 total = 0;     // size of the whole file
    QByteArray validator; // strong ETag, else Last-Modified; sent back as If-Range

    QByteArray encode() const;
    static std::optional<ResumeState> decode(const QByteArray &blob);
};

// "bytes first-last/total" of a 206; nullopt when malformed or the total is unknown.
struct ContentRange
{
    qint64 first = 0;
    qint64 last = 0;
    qint64 total = 0;
};
std::optional<ContentRange> parseContentRange(const QByteArray &value);

// Creates a fresh partial file beside destFile with O_CREAT|O_EXCL|O_NOFOLLOW, mode 0600.
// On failure returns an invalid descriptor with errno set.
platform::UniqueFd createPartialFile(const QString &destFile, QString *path);

// Opens the partial file of state for reading and writing, at state.offset, when it is still the
// file this program left: named like one of ours beside destFile, a regular file of this user,
// exactly state.offset bytes long. Otherwise returns an invalid descriptor and says why in *reason.
platform::UniqueFd openPartialForResume(const ResumeState &state, const QString &url,
                                        const QString &destFile, QString *reason);

// Whether path has the name and place of a partial file for destFile.
bool isPartialPathFor(const QString &path, const QString &destFile);

// Removes the partial files of destFile (regular files of this user, and links posing as
// them) except keep.
void removeStalePartials(const QString &destFile, const QString &keep = {});

} // namespace download
