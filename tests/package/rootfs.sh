#!/bin/sh
# Prints the folder of a minimal Debian 12 desktop baseline, made once per package list and kept
# under /var/cache/quillmarsh-rootfs: the C library, X11 and Wayland client libraries,
# fontconfig and FreeType, GL, D-Bus, a CA store and pkexec, and nothing the installer bundles.
set -eu
baseline="libc6 libstdc++6 libgcc-s1 zlib1g libexpat1 libx11-6 libx11-xcb1 libxcb1 libsm6 libice6
  libwayland-client0 libfontconfig1 libfreetype6 libharfbuzz0b libfribidi0 libgl1 libegl1 libopengl0
  libdbus-1-3 ca-certificates pkexec"
packages=$(echo $baseline | tr ' ' ',')
cache=/var/cache/quillmarsh-rootfs
dir=$cache/$(echo "$packages" | sha256sum | cut -c1-16)
if [ ! -f "$dir/.complete" ]; then
    mkdir -p "$cache"
    rm -rf "$dir"
    # The mirror is the one network step: tried three times, and a failure says so.
    for try in 1 2 3; do
        mmdebstrap --quiet --variant=minbase --include="$packages" bookworm "$dir" >&2 && break
        rm -rf "$dir"
        [ $try = 3 ] && { echo "FAIL: no Debian root file system: mmdebstrap could not fetch the packages (no network to the mirror?)" >&2; exit 1; }
        sleep $((try * 5))
    done
    # The packages pull in ICU (mesa's LLVM wants libxml2, which links it); the installer must
    # not find it on the machine, and nothing it runs needs the GL drivers.
    chroot "$dir" dpkg --purge --force-depends libicu72 >&2
    # Mount points for the sandbox rows: another distribution's certificate folder.
    mkdir -p "$dir/etc/pki/tls/certs"
    touch "$dir/.complete"
fi
echo "$dir"
