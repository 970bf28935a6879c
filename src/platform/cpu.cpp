#include "cpu.h"

#include <sys/utsname.h>

namespace platform {

bool isArm64Machine(const QString &machine)
{
    return machine == QLatin1String("aarch64") || machine == QLatin1String("arm64");
}

bool isArm64()
{
    struct utsname info
    {
    };
    if (::uname(&info) != 0)
        return false;
    return isArm64Machine(QString::fromLatin1(info.machine));
}

} // namespace platform
