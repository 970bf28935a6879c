#!/bin/sh
# Prints the folder of a minimal Debian desktop baseline of RELEASE (bullseye, bookworm, trixie)
# for PROCESSOR (amd64, arm64), made once per package list and kept under
# /var/cache/quillmarsh-rootfs: the C library, X11 and Wayland client libraries, fontconfig and
# FreeType, GL, D-Bus, a CA store and pkexec, and nothing the installer bundles. Another
# processor's root is made through qemu-user, which binfmt_misc must know (binfmt.sh).
#   rootfs.sh [RELEASE [PROCESSOR]]        (default: bookworm amd64)
set -eu
release=${1:-bookworm}
arch=${2:-amd64}
baseline="libc6 libstdc++6 libgcc-s1 zlib1g libexpat1 libx11-6 libx11-xcb1 libxcb1 libsm6 libice6
  libwayland-client0 libfontconfig1 libfreetype6 libharfbuzz0b libfribidi0 libgl1 libegl1 libopengl0
  libdbus-1-3 ca-certificates"
# pkexec has a package of its own from Debian 12 on.
case $release in bullseye) baseline="$baseline policykit-1" ;; *) baseline="$baseline pkexec" ;; esac
packages=$(echo $baseline | tr ' ' ',')
cache=/var/cache/quillmarsh-rootfs
dir=$cache/$release-$arch-$(echo "$packages" | sha256sum | cut -c1-16)
if [ ! -f "$dir/.complete" ]; then
    mkdir -p "$cache"
    rm -rf "$dir"
    # The mirror is the one network step: tried three times, and a failure says so.
    for try in 1 2 3; do
        mmdebstrap --quiet --variant=minbase --architectures="$arch" --include="$packages" \
            "$release" "$dir" "deb http://deb.debian.org/debian $release main" >&2 && break
        rm -rf "$dir"
        [ $try = 3 ] && { echo "FAIL: no Debian $release root file system for $arch: mmdebstrap could not fetch the packages (no network to the mirror?)" >&2; exit 1; }
        sleep $((try * 5))
    done
    # The packages pull in ICU (mesa's LLVM wants libxml2, which links it); the installer must
    # not find it on the machine, and nothing it runs needs the GL drivers.
    for icu in $(chroot "$dir" dpkg-query -W -f '${Package}\n' 'libicu[0-9]*' 2>/dev/null); do
        chroot "$dir" dpkg --purge --force-depends "$icu" >&2
    done
    # A desktop release may lack what a minimal one does not: Debian 13's minimal system no
    # longer has Kerberos' error library, which nothing of the file may need.
    if [ "$release" = trixie ]; then
        for lib in $(chroot "$dir" dpkg-query -W -f '${Package}\n' 'libcom-err2*' 2>/dev/null); do
            chroot "$dir" dpkg --purge --force-depends "$lib" >&2
        done
    fi
    # Mount points for the sandbox rows: another distribution's certificate folder.
    mkdir -p "$dir/etc/pki/tls/certs"
    touch "$dir/.complete"
fi
echo "$dir"
