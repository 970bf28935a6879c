#include "launcher.h"

#include <QProcess>

namespace platform {

bool launchApplication(const QString &bundlePath)
{
    // AppDir convention: AppRun at the top of the bundle, started from inside the bundle.
    return QProcess::startDetached(bundlePath + QStringLiteral("/AppRun"), {}, bundlePath);
}

} // namespace platform
