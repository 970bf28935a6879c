#!/usr/bin/env bash
# Times quillmarsh-install-image against cp -a on a 500 MB bundle read from the same squashfs
# image mounted with squashfuse, alternating, 5 runs each, and prints the medians and their
# ratio (goal: at most 1.1). Each cp -a run gets a fresh mount, as the installer does, so
# neither side reads from a warm FUSE cache; dirty pages are synced between runs, untimed.
# Usage: bench/install-bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR holds bin/quillmarsh-install-image (default: build)
#   WORK_DIR needs about 2 GiB free (default: a new folder under /tmp); removed afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=${2:-$(mktemp -d /tmp/qm-install-bench.XXXXXX)}
runs=5
driver=$build/bin/quillmarsh-install-image
for tool in "$driver" mksquashfs squashfuse fusermount3 python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -r /dev/fuse ] && [ -w /dev/fuse ] || { echo "/dev/fuse cannot be used here" >&2; exit 1; }

mnt=""
cleanup() {
  if [ -n "$mnt" ]; then fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -u -z "$mnt" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== building a 500 MB bundle and its image in $work"
app=$work/tree/Quillmarsh.app
mkdir -p "$app"
python3 - "$app" <<'PY'
import base64, os, sys
app = sys.argv[1]
def write(rel, data, mode=0o644):
    path = os.path.join(app, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)
write("AppRun", b"#!/bin/sh\necho quillmarsh\n", 0o755)
mb = 1024 * 1024
for i in range(5):  # 250 MB of machine code stand-in: incompressible
    write(f"Contents/lib/lib{i}.so", os.urandom(50 * mb), 0o755)
for i in range(5):  # 250 MB of resources: compressible text
    write(f"Contents/Resources/data{i}.txt", base64.encodebytes(os.urandom(37 * mb))[:50 * mb])
for d in range(20):  # many small files, as translations and icons are
    for f in range(100):
        write(f"Contents/Resources/l10n/{d}/{f}.strings", os.urandom(4096))
os.symlink("Contents/Resources", os.path.join(app, "Resources"))
PY
mksquashfs "$work/tree" "$work/q.img" -noappend -quiet -no-progress
rm -rf "$work/tree"
echo "bundle $(du -sh --apparent-size "$work/q.img" | cut -f1) image"

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.3f}')"; }
export XDG_CACHE_HOME=$work/cache XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=
installer_times=()
cp_times=()
for i in $(seq "$runs"); do
  rm -rf "$work/dest"; sync
  t0=$(now)
  "$driver" "$work/q.img" "$work/dest" >"$work/driver.out" || { cat "$work/driver.out"; exit 1; }
  t1=$(now)
  installer_times+=("$(elapsed "$t0" "$t1")")

  rm -rf "$work/dest"; mkdir -p "$work/dest" "$work/mnt"; sync
  squashfuse -o ro "$work/q.img" "$work/mnt"; mnt=$work/mnt
  t0=$(now)
  cp -a "$work/mnt/Quillmarsh.app" "$work/dest/"
  t1=$(now)
  fusermount3 -u "$work/mnt"; mnt=""
  cp_times+=("$(elapsed "$t0" "$t1")")
  echo "run $i: installer ${installer_times[-1]} s, cp -a ${cp_times[-1]} s"
done

python3 - "${installer_times[*]}" "${cp_times[*]}" <<'PY'
import statistics, sys
inst = [float(x) for x in sys.argv[1].split()]
cp = [float(x) for x in sys.argv[2].split()]
mi, mc = statistics.median(inst), statistics.median(cp)
print(f"median: installer {mi:.3f} s (mount, copy, detach), cp -a {mc:.3f} s (copy only)")
print(f"ratio installer / cp -a: {mi / mc:.3f} (goal <= 1.1)")
PY
