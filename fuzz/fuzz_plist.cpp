// The disk-image tool's property list: any text gives a mount point or none, never a crash.
#include "install/imagetool.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const auto mountPoint = install::mountPointFromAttachPlist(
        QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (mountPoint && mountPoint->isEmpty())
        std::abort();
    return 0;
}
