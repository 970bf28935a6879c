#pragma once

#include <QString>

namespace platform {

// True when this machine runs on 64-bit ARM hardware; false when it cannot be told.
bool isArm64();

// The machine's processor as the kernel names it ("x86_64", "aarch64"); empty when unknown.
QString machineName();

// The rule itself, for a uname machine string ("aarch64", "arm64", "x86_64", ...).
bool isArm64Machine(const QString &machine);

} // namespace platform
