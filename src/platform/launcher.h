#pragma once

#include <QString>

namespace platform {

// Starts an installed application bundle (an AppDir) by running its AppRun, detached from the
// installer so that it outlives it. Returns whether the process could be started.
bool launchApplication(const QString &bundlePath);

} // namespace platform
