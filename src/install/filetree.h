#pragma once

#include <QString>

#include <optional>

namespace install {

// Copies the tree at source to dest, which must not exist yet. Directories, regular files and
// symbolic links are copied; links as links, never followed. Permission bits are kept up to
// 0755 (no set-id or sticky bits, no group or other write), and access and modification times
// too; the owner is whoever copies, and no extended attribute or ACL comes along. Any other
// kind of entry is an error. Returns an empty string on success, otherwise a description of
// the first failure; what was copied up to then stays for the caller to remove.
QString copyTree(const QString &source, const QString &dest);

// Installs a copy of source at dest without ever leaving dest without a complete bundle:
// the copy is made in a hidden, locked ".quillmarsh-" folder beside dest, swapped into place,
// and what was at dest is removed afterwards. On failure dest is as it was and no partial copy
// remains. Returns an empty string on success, otherwise a description of the failure.
QString replaceWithCopy(const QString &source, const QString &dest);

// Empty when the tree at bundle may be installed: a real folder (not a link) holding only
// folders, regular files and links whose targets are relative and, resolved through the links
// they meet (no loops), stay inside the bundle, with no control character (below 0x20, or DEL)
// in any name or link target. Otherwise what is wrong, naming the entry with such characters
// escaped.
QString bundleProblem(const QString &bundle);

// Empty when root may work in folder: every folder from "/" down to it (or down to its nearest
// existing ancestor, when it is still to be made) is a real folder owned by root that no group
// or other user may write to; a sticky shared folder does not count. *resolved receives the
// folder's path with every link resolved, which is the one to hand to root. Otherwise says
// which folder is not safe and why.
QString rootOnlyFolderProblem(const QString &folder, QString *resolved);

// Removes the hidden staging folders that installs killed midway left in folder, never one a
// live install still holds. When bundleName is missing from folder because a swap without
// atomic exchange was cut short, its old copy is put back first. Returns how many went.
int removeStaleStaging(const QString &folder, const QString &bundleName = {});

// 0 when the current user can really create an entry in folder (tried, and undone), else the
// errno of the attempt. Unlike access(2) this sees read-only mounts, ACLs and odd modes alike.
int probeWritable(const QString &folder);

// What a copy of the tree at path occupies, counted in whole 4 KiB blocks; -1 when a part
// cannot be read.
qint64 treeSize(const QString &path);

// For crash tests: called on the copying thread before each copied entry ("entry") and
// before each step of the swap ("exchange", "remove old", "rename", "aside"), and on the
// install worker once the bundle's archive for root is written, before it is opened
// ("archive"). Set before any copy runs.
using Checkpoint = void (*)(const char *step);
void setCheckpoint(Checkpoint hook);
void checkpoint(const char *step);
// Tests: swap as on a file system without an atomic exchange (two renames).
void setExchangeAvailable(bool available);

// Path of the first entry of folder, in the order the file system lists them, whose
// extension (the text after the last dot) is exactly "app"; nullopt when none or unreadable.
std::optional<QString> firstAppInDirectory(const QString &folder);

// folder + "/" + name, without doubling a separator already there.
QString joinPath(const QString &folder, const QString &name);

// A name that stays inside its folder when joined: not empty, ".", ".." and without "/".
bool isSinglePathComponent(const QString &name);

} // namespace install
