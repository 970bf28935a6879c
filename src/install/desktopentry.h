#pragma once

#include <QByteArray>
#include <QString>

namespace install {

// The menu entry for an installed bundle, made from the bundle's own desktop file (original):
// Exec runs <bundle>/AppRun by its absolute path, quoted for any folder name and followed by
// the original's arguments and field codes; TryExec names the same AppRun; Icon becomes
// <bundle>/<Icon>.svg or .png when the bundle holds one. Every other line is kept. Reads the
// file system only to find the icon. Empty, with *error set, when no entry can be made.
QString menuEntryText(const QByteArray &original, const QString &bundlePath, QString *error);

// Where the entry goes: $XDG_DATA_HOME/applications/quillmarsh.desktop (default
// ~/.local/share/applications/).
QString menuEntryPath();

// Writes the menu entry for the bundle from <bundle>/quillmarsh.desktop, atomically and with mode
// 0644, replacing an entry for an earlier install. Logs what it did ("INST: menu entry ...")
// and returns whether an entry was written; a bundle without a desktop file gets none.
bool writeMenuEntry(const QString &bundlePath);

} // namespace install
