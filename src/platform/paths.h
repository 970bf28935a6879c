#pragma once

#include <QString>

namespace platform {

// Per-user private folder (mode 0700, owned by the user) for the downloaded image, partial
// downloads, mount points and staging copies. Created on first use; empty when impossible.
QString privateDirectory();

// Folder of the setup log: $XDG_STATE_HOME (default ~/.local/state) + "/Logs".
QString logsDirectory();

// Folder holding the images and slides.json, beside the executable.
QString resourceDirectory();
void setResourceDirectory(const QString &dir); // tests and development tools only

// Default install folder shown in the location field: ~/Applications.
QString defaultInstallFolder();

// Folder the running program lives in (the "bundle" of the log banner).
QString programDirectory();

} // namespace platform
