#pragma once

#include "uniquefd.h"

#include <QString>

namespace platform {

// Opens a folder without following a link and takes its lock (flock, not waiting), held while
// the result lives; invalid, with errno set, when the folder is not there or another live
// process holds the lock. Marks folders a running installer is using.
UniqueFd lockFolder(const QString &path);

// The user's home folder: $HOME when it is an absolute path, else the password entry's. Empty
// when that is the root folder or not an absolute path.
QString homeDirectory();

enum class XdgDirectory {
    Cache,   // $XDG_CACHE_HOME, default ~/.cache
    State,   // $XDG_STATE_HOME, default ~/.local/state
    Runtime, // $XDG_RUNTIME_DIR, no default
};

// The base folder of that kind. A relative value in the environment is ignored, as the base
// directory rules demand. Empty when there is none.
QString xdgDirectory(XdgDirectory which);

// Per-user private folder (mode 0700, owned by the user) for the downloaded image, partial
// downloads, mount points and staging copies: the cache folder's "quillmarsh-installer", or a
// fresh folder beside it, in the home folder or in the runtime folder when that one cannot be
// used safely, or when another run holds the usual folder's lock. Safe means also that every folder
// above it is root's or the user's and writable by no one else (or sticky), with no link on the
// way. Decided on the first call and the same for the rest of the process; empty when no private
// folder can be made, in which case nothing may be written. The first call also removes fresh
// folders that crashed runs left behind.
QString privateDirectory();

// Removes the private folder when it is a fresh one made for this run (the usual folder stays
// for the caller to empty). Called once at exit, when no worker uses the folder any more.
// Returns whether nothing of a fresh folder is left.
bool releasePrivateDirectory();

// The private folder for the life of this object: decided when it is made, released (as
// releasePrivateDirectory does) when it goes. The program's main makes one.
class PrivateFolder
{
public:
    PrivateFolder() : m_path(privateDirectory()) {}
    ~PrivateFolder() { releasePrivateDirectory(); }
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;
    const QString &path() const { return m_path; }

private:
    QString m_path;
};

// Folder of the setup log: the state folder + "/Logs"; empty without a home.
QString logsDirectory();

// Default install folder shown in the location field: ~/Applications.
QString defaultInstallFolder();

// Folder the running program lives in (the "bundle" of the log banner).
QString programDirectory();

} // namespace platform
