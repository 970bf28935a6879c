#!/bin/sh
# Lets this machine run aarch64 programs through qemu-user: registers qemu-aarch64-static with
# binfmt_misc, with the fix-binary flag (F), so the kernel opens the emulator now and finds it
# inside any root file system or sandbox later. Says why and fails when the kernel refuses.
set -eu
qemu=/usr/bin/qemu-aarch64-static
misc=/proc/sys/fs/binfmt_misc
[ -x "$qemu" ] || { echo "no $qemu (package qemu-user-static)"; exit 1; }
[ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc" 2>/dev/null ||
    { echo "the kernel has no binfmt_misc to mount"; exit 1; }
if [ -e "$misc/qemu-aarch64" ]; then
    # Registered before: usable only if it has the emulator fixed and is on.
    grep -qx 'flags: .*F.*' "$misc/qemu-aarch64" && grep -qx enabled "$misc/qemu-aarch64" && exit 0
    echo -1 > "$misc/qemu-aarch64" 2>/dev/null || { echo "cannot replace the aarch64 entry of binfmt_misc"; exit 1; }
fi
printf '%s' ':qemu-aarch64:M::\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64-static:F' \
    > "$misc/register" 2>/dev/null || { echo "the kernel refused the aarch64 entry of binfmt_misc"; exit 1; }
