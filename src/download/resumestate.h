#pragma once

#include "platform/uniquefd.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace download {

// What an interrupted download leaves for the next attempt, in this run or a later one: the
// partial file beside the destination and the facts needed to continue it without splicing two
// versions of the file or trusting a byte that changed on disk. Callers treat the encoded blob
// as opaque; it carries a format version and a checksum so a truncated or altered blob is
// refused instead of misread.
struct ResumeState
{
    QString url;           // address the partial file came from
    QString partialPath;   // "<destFile>.part-XXXXXXXX"
    qint64 offset = 0;     // bytes held in the partial file; == total once it is complete
    qint64 total = 0;      // size of the whole file
    QByteArray validator;  // strong ETag, else Last-Modified; sent back as If-Range
    QByteArray heldSha256; // SHA-256 of the first offset bytes
    qint64 savedAtMs = 0;  // when it was written (ms since the epoch, UTC)

    QByteArray encode() const;
    static std::optional<ResumeState> decode(const QByteArray &blob);
};

// Writes blob to path so that a crash or a power cut leaves the old state or the new one, never
// a mix: a new file beside it, synced, renamed into place, the folder synced. The bytes the state
// describes must be synced before (fdatasync of the partial file). False on any failure.
bool writeStateFile(const QString &path, const QByteArray &blob);

// The blob at path when it is a regular file of this user of a plausible size.
std::optional<QByteArray> readStateFile(const QString &path);

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
// at least state.offset bytes long (bytes past it, written after the state, are cut off: no
// check covers them). A file that was complete and landed at destFile is taken back as the
// partial file. The address must be state's unless anyHost. Otherwise returns an invalid
// descriptor and says why in *reason.
platform::UniqueFd openPartialForResume(const ResumeState &state, const QString &url,
                                        const QString &destFile, bool anyHost, QString *reason);

// Whether path has the name and place of a partial file for destFile.
bool isPartialPathFor(const QString &path, const QString &destFile);

// Removes the partial files of destFile (regular files of this user, and links posing as
// them) except keep.
void removeStalePartials(const QString &destFile, const QString &keep = {});

} // namespace download
