// The bundle's desktop file: the entry made from it always starts the installed AppRun, or no
// entry is made.
#include "install/desktopentry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString error;
    const QString text = install::menuEntryText(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)),
        QStringLiteral("/opt/Quill marsh/Q.app"), &error);
    if (text.isEmpty() != !error.isEmpty())
        std::abort();
    if (!text.isEmpty() &&
        !text.contains(QLatin1String("\nExec=\"/opt/Quill marsh/Q.app/AppRun\"")))
        std::abort();
    return 0;
}
