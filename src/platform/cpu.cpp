#include "cpu.h"

#include <sys/utsname.h>

namespace platform {

bool isArm64Machine(const QString &machine)
{
    return machine == QLatin1String("aarch64") || machine == QLatin1String("arm64");
}

QString machineName()
{
    struct utsname info
    {
    };
    if (::uname(&info) != 0)
        return {};
    return QString::fromLatin1(info.machine);
}

bool isArm64()
{
    return isArm64Machine(machineName());
}

} // namespace platform
