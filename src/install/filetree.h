#pragma once

#include <QString>

#include <optional>

namespace install {

// Copies the tree at source to dest, which must not exist yet. Directories, regular files and
// symbolic links are copied; links as links, never followed. Permission bits (without set-id
// bits) and access and modification times are kept; the owner is whoever copies. Any other
// kind of entry is an error. Returns an empty string on success, otherwise a description of
// the first failure; what was copied up to then stays for the caller to remove.
QString copyTree(const QString &source, const QString &dest);

// Removes the tree at path without following links, making folders writable first so that
// read-only trees go too. Failures are ignored.
void removeTree(const QString &path);

// Installs a copy of source at dest without ever leaving dest without a complete bundle:
// the copy is made in a hidden sibling of dest, swapped into place, and what was at dest is
// removed afterwards. On failure dest is as it was and no partial copy remains. Returns an
// empty string on success, otherwise a description of the failure.
QString replaceWithCopy(const QString &source, const QString &dest);

// Path of the first entry of folder, in the order the file system lists them, whose
// extension (the text after the last dot) is exactly "app"; nullopt when none or unreadable.
std::optional<QString> firstAppInDirectory(const QString &folder);

// folder + "/" + name, without doubling a separator already there.
QString joinPath(const QString &folder, const QString &name);

// A name that stays inside its folder when joined: not empty, ".", ".." and without "/".
bool isSinglePathComponent(const QString &name);

} // namespace install
