#!/bin/sh
# Writes the release file: two lines that say which processor and C library it is for, where
# its two tars start and their size and SHA-256 together, then packaging/launcher.sh word for
# word, the gzip-compressed tar of the zstd that unpacks the payload, and the payload.
#   runheader.sh ARCH GLIBC TOOLS PAYLOAD OUT
#   ARCH x86_64 or aarch64; GLIBC the oldest C library the contents run with, such as 2.31
set -eu
[ $# = 5 ] || { echo "usage: runheader.sh ARCH GLIBC TOOLS PAYLOAD OUT" >&2; exit 2; }
arch=$1 glibc=$2 tools=$3 payload=$4 out=$5
case $arch in
x86_64) loader=/lib64/ld-linux-x86-64.so.2 ;;
aarch64) loader=/lib/ld-linux-aarch64.so.1 ;;
*) echo "runheader.sh: no loader known for $arch" >&2; exit 2 ;;
esac
launcher=$(dirname "$0")/launcher.sh
tools_size=$(stat -c %s "$tools")
size=$((tools_size + $(stat -c %s "$payload")))
sha=$(cat "$tools" "$payload" | sha256sum | cut -d' ' -f1)
# The tars start right after the header, whose length holds that number: a few rounds settle it.
at=0
while :; do
    line="qm_arch=$arch qm_loader=$loader qm_glibc=$glibc qm_tools_at=$at qm_tools_size=$tools_size qm_size=$size qm_sha256=$sha"
    length=$((10 + ${#line} + 1 + $(stat -c %s "$launcher")))
    [ "$length" = "$at" ] && break
    at=$length
done
{ printf '#!/bin/sh\n%s\n' "$line"; cat "$launcher" "$tools" "$payload"; } > "$out"
[ "$(stat -c %s "$out")" = $((at + size)) ] || { echo "runheader.sh: $out came out wrong" >&2; exit 1; }
chmod 0755 "$out"
