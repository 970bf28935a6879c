#!/bin/bash
# The self-contained installers on bare Debian desktops: minbase root file systems of Debian 11,
# 12 and 13 with the baseline only (rootfs.sh), and of Debian 12 for arm64, run through
# qemu-user; the installer run in them with bubblewrap as an ordinary user, on a virtual X
# display or a headless Wayland one, against HTTPS from nginx on loopback; a whole install of the
# signed sample product per row, one of them with administrator rights.
#   run.sh SOURCE_DIR WORK_DIR        exit 77: skipped (the machine cannot make the sandboxes)
set -euo pipefail
src=$1
. "$src/tests/support/testlib.sh"
work=$2
if [ -z "${QM_PACKAGE_NS:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "SKIP: building the sandboxes needs root"; exit 77; }
    unshare --net --mount true 2>/dev/null || { echo "SKIP: no namespaces here"; exit 77; }
    # The root file systems and the old base are made out here: the private network below has
    # no way to the package mirror. The arm64 rows need qemu-user for aarch64 programs.
    QM_ROOT_12=$("$src/tests/package/rootfs.sh" bookworm amd64)
    QM_ROOT_11=$("$src/tests/package/rootfs.sh" bullseye amd64)
    QM_ROOT_13=$("$src/tests/package/rootfs.sh" trixie amd64)
    # The aarch64 row runs wherever the kernel lets qemu-user run aarch64 programs; elsewhere
    # it is skipped with the kernel's reason.
    QM_ROOT_ARM64=""
    if QM_NO_ARM64=$("$src/tests/package/binfmt.sh"); then
        QM_ROOT_ARM64=$("$src/tests/package/rootfs.sh" bookworm arm64)
        "$src/scripts/base" --arch x86_64 --arch aarch64 >/dev/null
    else
        "$src/scripts/base" --arch x86_64 >/dev/null
    fi
    export QM_ROOT_12 QM_ROOT_11 QM_ROOT_13 QM_ROOT_ARM64 QM_NO_ARM64
    # A network and mounts of its own: the fixed port and display number are this run's alone.
    QM_PACKAGE_NS=1 exec unshare --net --mount --propagation private "$0" "$@"
fi
ip link set lo up
U=4242
rm -rf "$work" && mkdir -p "$work"

rootfs=$QM_ROOT_12
for r in $QM_ROOT_12 $QM_ROOT_11 $QM_ROOT_13 $QM_ROOT_ARM64; do
    # Debian 13's minimal system is the one without Kerberos' error library.
    also=""
    case $r in *trixie*) also="|libcom-err" ;; esac
    banned=$(chroot "$r" dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' |
             awk '$1 ~ /^i/ { print $2 }' |
             grep -E "^(qt6-|libqt6|libcurl|libicu|squashfuse|fuse|libfuse|squashfs-tools$also)" || true)
    [ -z "$banned" ] || { echo "FAIL: the baseline $r has $banned"; exit 1; }
done

# The demo package's own build folder beside the others in the source tree, kept from run to
# run so that a run rebuilds only what changed.
build=$src/build-package-demo
run=$work/installer.run run_arm64=$work/installer-aarch64.run
"$src/scripts/package" --demo --base-url https://127.0.0.1:8443 --build-dir "$build" --out "$run" |
    sed -n '1,3p'
[ -z "$QM_ROOT_ARM64" ] ||
    "$src/scripts/package" --demo --arch aarch64 --base-url https://127.0.0.1:8443 --build-dir "$build" \
        --out "$run_arm64" | sed -n '1,3p'
sample=$build/sample/image-root/Quillmarsh.app

# A certificate authority of the run's own, and nginx serving the signed images with it.
tls=$work/tls
mkdir -p "$tls"
qm_ca "$tls" ca && qm_cert "$tls" server ca 127.0.0.1 IP:127.0.0.1
qm_nginx_conf "$work/nginx" "server {
        listen 127.0.0.1:8443 ssl;
        ssl_certificate $tls/server.pem; ssl_certificate_key $tls/server.key;
        root $build/sample/images;
        location /mp/collect { return 204; }
        location /debug/mp/collect { return 200 '{\"validationMessages\": []}'; }
    }"
trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
qm_nginx_start "$work/nginx"
mkdir -p /tmp/.X11-unix && mount -t tmpfs -o mode=1777 qm-x11 /tmp/.X11-unix
# -noreset: by default the server starts over when its last client leaves, and a client that
# connects in that moment (xdotool between two rows) is turned away.
Xvfb :7 -ac -noreset -nolisten tcp -screen 0 1280x800x24 > /dev/null 2>&1 &
xvfb=$!
export DISPLAY=:7
qm_wait 10 test -S /tmp/.X11-unix/X7 || true
cp /etc/passwd "$work/passwd" && echo "qm:x:$U:$U::/home/qm:/bin/sh" >> "$work/passwd"

# row NAME BWRAP_ARGS...: one whole install, Install pressed on the X display (with session set
# to a Wayland one, through the accessibility bus); fails the test with what the row shows.
failed=0
session=(DISPLAY=:7)
as_root=() # run as root in the sandbox, before the user's command (which it is handed)
apps=""    # where the row installs, seen from here; empty: the user's ~/Applications
sysroot=$rootfs file=$run start=(/tmp/quillmarsh-installer-x86_64.run) user_env=() patience=1
become=(setpriv --reuid=$U --regid=$U --clear-groups --inh-caps=-all)
# sandbox HOME BWRAP_ARGS...: the file run in the bare system as the user, with HOME as home, the
# user's whole environment that of environment().
environment() { printf '%s\n' HOME=/home/qm "${session[@]}" PATH=/usr/bin:/bin LANG=C.UTF-8 "${user_env[@]}"; }
sandbox() {
    local home=$1
    shift
    mapfile -t vars < <(environment)
    bwrap --ro-bind "$sysroot" / --dev /dev --proc /proc --tmpfs /tmp --tmpfs /home \
        --bind "$home" /home/qm --ro-bind /tmp/.X11-unix /tmp/.X11-unix \
        --ro-bind "$file" /tmp/quillmarsh-installer-x86_64.run --ro-bind "$work/passwd" /etc/passwd \
        --unshare-pid --die-with-parent "$@" "${as_root[@]}" "${become[@]}" env -i "${vars[@]}" \
        "${start[@]}"
}
# verdict NAME WHY OUTPUT...: the row passes when WHY is empty (a mark for rows in subshells).
verdict() {
    if [ -n "$2" ]; then
        failed=1 && touch "$work/.failed"
        echo "FAIL: $1: ${2#; }"
        sed 's/^/  | /' "${@:3}" 2>/dev/null | tail -n 40 || true
    else
        echo "PASS: $1"
    fi
}
row() {
    local name=$1 home=$work/$1/home
    shift
    mkdir -p "$home" && chown "$U:$U" "$home"
    local log=$home/.local/state/Logs/quillmarsh-installer.log bundle=${apps:-$home/Applications}/Quillmarsh.app
    # The last row's window may still be going.
    for _ in $(seq 50); do xdotool search --onlyvisible --name '^Quillmarsh$' >/dev/null 2>&1 || break; sleep 0.1; done
    sandbox "$home" "$@" > "$work/$name/out" 2>&1 &
    local pid=$!
    if [ "${session[0]}" = DISPLAY=:7 ]; then
        if wid=$(timeout $((30 * patience)) xdotool search --sync --onlyvisible --name '^Quillmarsh$' | head -n1); then
            sleep 0.5
            xdotool mousemove --window "$wid" 320 232 click 1 # Install
        fi
    else
        "${as_user[@]}" "${session[@]}" /usr/bin/python3 "$wl/press.py" Install 30 || true
    fi
    for _ in $(seq $((600 * patience))); do
        grep -qE "FLOW: install (SUCCESS|FAIL)" "$log" 2>/dev/null && break
        sleep 0.1
    done
    local why=""
    grep -qF "FLOW: install SUCCESS" "$log" 2>/dev/null || why="no successful install"
    grep -qF "FLOW: image verified" "$log" 2>/dev/null || why="$why; the image was not verified"
    diff -r "$sample" "$bundle" >/dev/null 2>&1 || why="$why; the bundle differs"
    if [ -n "$apps" ]; then
        grep -qF "root is handed an archive of the bundle" "$log" || why="$why; root was not handed an archive"
        [ -z "$(find "$bundle" ! -user 0 -print -quit)" ] || why="$why; not all of the bundle is root's"
    fi
    [ -f "$home/.local/share/applications/quillmarsh.desktop" ] || why="$why; no menu entry"
    [ -z "${processor:-}" ] || grep -qF "APP: processor $processor (" "$log" ||
        why="$why; the log does not show the processor $processor"
    if [ -n "${launch:-}" ] && [ -z "$why" ]; then
        # What the installed application is started with (Start Now, with an AppRun that writes
        # down its environment): the user's own, with nothing of the file's.
        printf '#!/bin/sh\nenv > /home/qm/apprun.env\n' > "$bundle/AppRun"
        for i in $(seq 100); do
            [ -s "$home/apprun.env" ] && break
            [ $((i % 20)) != 1 ] || xdotool mousemove --window "$wid" 320 232 click 1 2>/dev/null || true
            sleep 0.1
        done
        local extra
        extra=$(grep -v '^PWD=' "$home/apprun.env" | sort | comm -3 - <(environment | sort) | tr '\n' ' ' || true)
        [ -s "$home/apprun.env" ] && [ -z "$extra" ] || why="the application is started with another environment: ${extra:-none}"
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    verdict "$name" "$why" "$work/$name/out" "$log"
}

ca=$tls/ca.pem
fuse=()
[ -c /dev/fuse ] && fuse=(--dev-bind /dev/fuse /dev/fuse)
# The first one also presses Start Now; the namespace outlives the installer a little, for its
# launch to finish.
(launch=1 start=(sh -c '"$0"; sleep 5' /tmp/quillmarsh-installer-x86_64.run)
 row xvfb "${fuse[@]}" --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt)
row no-dev-fuse,fedora-ca-path --tmpfs /etc/ssl --tmpfs /etc/pki/tls/certs --ro-bind "$ca" /etc/pki/tls/certs/ca-bundle.crt

# Debian 11, the oldest system the file is for, and the administrator way into a folder only
# root may change, on a system without unsquashfs: the user's ~/Applications leads there. The
# sandbox forbids set-user-id programs, so a stand-in over the system's own pkexec
# (policykit-1) hands each command to a root process of the sandbox (pkexec-standin.sh). /run is
# a tmpfs of the sandbox's own, as on every system: root keeps its lock there.
apps=$work/debian11-admin/apps
mkdir -p -m 0755 "$apps" && mkdir -p "$work/debian11-admin/home" &&
    ln -s /opt/Applications "$work/debian11-admin/home/Applications"
as_root=(/tmp/pkexec-standin serve)
(sysroot=$QM_ROOT_11
 row debian11-admin "${fuse[@]}" --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt --tmpfs /opt --bind "$apps" /opt/Applications \
    --ro-bind "$src/tests/package/pkexec-standin.sh" /tmp/pkexec-standin \
    --ro-bind "$src/tests/package/pkexec-standin.sh" /usr/bin/pkexec --tmpfs /run)
as_root=()
apps=""
# The cache folder a noexec file system: the file unpacks into a fresh folder in the home.
mkdir -p "$work/noexec-cache/home/.cache" &&
    mount -t tmpfs -o noexec,mode=0700,uid=$U,gid=$U qm-noexec "$work/noexec-cache/home/.cache"
row noexec-cache --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt
# The home and the file's own folder named with a space, quotes, an accent and a dollar sign.
odd="/home/it's a \"q\" é \$x" odd_file="/tmp/dir é 'q' \$x/installer.run"
(user_env=(HOME="$odd") start=("$odd_file")
 row odd-paths --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt --bind "$work/odd-paths/home" "$odd" \
    --dir "${odd_file%/*}" --ro-bind "$file" "$odd_file")
# Debian 13 as its minimal system is, without Kerberos' error library.
(sysroot=$QM_ROOT_13; row debian13 --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt)
# The aarch64 file on an arm64 Debian 12, every program of it run by qemu-user: the run takes the
# arm64 image because the process runs on arm64.
if [ -n "$QM_ROOT_ARM64" ]; then
    (sysroot=$QM_ROOT_ARM64 file=$run_arm64 sample=$build/sample/image-root-silicon/Quillmarsh.app
     processor=aarch64 patience=4; row aarch64 --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt)
else
    echo "SKIP: aarch64: $QM_NO_ARM64"
fi

windows() { cat "$1" 2>/dev/null | grep -c "UI: window visible" || true; }
# quick NAME EXPECT BWRAP_ARGS...: the file run once without an install, in the home of NAME
# (before any ":"). EXPECT "starts": its window comes up; otherwise a pattern of the words it is
# refused with, with status 1 and nothing left in the home.
quick() {
    local name=$1 expect=$2 home=$work/${1%%:*}/home rc=0 why="" left pid shown
    shift 2
    local log=$home/.local/state/Logs/quillmarsh-installer.log out=$work/${name/:/-}.out
    mkdir -p "$home" && chown "$U:$U" "$home"
    shown=$(windows "$log")
    sandbox "$home" "$@" > "$out" 2>&1 &
    pid=$!
    for _ in $(seq 300); do
        kill -0 $pid 2>/dev/null && [ "$(windows "$log")" = "$shown" ] || break
        sleep 0.1
    done
    # The installer is started with the user's environment (a setting given twice counts once,
    # as env(1) leaves it), nothing of the file's own (its library folder, say), on the first run
    # and on later ones.
    local extra=""
    if [ "$expect" = starts ]; then
        extra=$({ tr '\0' '\n' < "/proc/$(pgrep -n -u $U -x quillmarsh-inst)/environ" || true; } |
            grep -Ev '^(OLD)?PWD=' | sort | comm -3 - <(environment | awk -F= '{ v[$1] = $0 } END { for (k in v) print v[k] }' | sort) |
            tr '\n' ' ' || true)
    fi
    kill $pid 2>/dev/null || true
    wait $pid || rc=$?
    if [ "$expect" = starts ]; then
        [ "$(windows "$log")" -gt "$shown" ] || why="it did not start"
        [ -z "$extra" ] || why="$why; the installer is started with another environment: $extra"
    else
        [ "$rc" = 1 ] && grep -q -- "$expect" "$out" || why="not refused with \"$expect\" (status $rc)"
        left=$(find "$home" ! -type d | head -n 3 || true)
        why="$why${left:+; left in the home: $left}"
    fi
    verdict "$name" "$why" "$out" "$log"
}

# Files of other headers around the same tars; files damaged: cut short, one byte changed; a root
# with no C library, only a static busybox (the user made by bubblewrap's own user namespace).
tars=("$build/package-tools-x86_64.tar.gz" "$build/package-payload-x86_64.tar.zst")
"$src/packaging/runheader.sh" aarch64 2.31 "${tars[@]}" "$work/aarch64.run"
"$src/packaging/runheader.sh" x86_64 2.99 "${tars[@]}" "$work/glibc-2.99.run"
head -c -4096 "$run" > "$work/cut.run" && cp "$run" "$work/changed.run" && chmod 0755 "$work"/*.run
printf 'x' | dd of="$work/changed.run" bs=1 seek=$(($(stat -c %s "$run") / 2)) conv=notrunc status=none
bb=$work/busybox-root
mkdir -p "$bb"/{bin,etc,proc,dev,tmp,home} && touch "$bb/etc/passwd" && cp /bin/busybox "$bb/bin/"
busybox --list | grep -vx busybox | while read -r a; do ln -s busybox "$bb/bin/$a"; done
# Another processor, and a dialog tool that writes down what it would show.
mkdir -p "$work/dialog" && chown "$U" "$work/dialog" && printf '#!/bin/sh\necho riscv64\n' > "$work/uname"
printf '#!/bin/sh\necho "$@" > /tmp/dialog/words\n' > "$work/dialog/zenity" && chmod 0755 "$work/uname" "$work/dialog/zenity"
mkdir -p "$work/disk-full/home" && mount -t tmpfs -o size=16m,mode=0755,uid=$U qm-full "$work/disk-full/home"
# Started in each way a user may: "sh FILE" in its folder, with a file of that name in PATH;
# through a link, by a relative path from another folder.
mkdir -p "$work/sh-file/home/bin" "$work/link/home/elsewhere" && cp -p "$work/cut.run" "$work/sh-file/home/bin/quillmarsh-installer-x86_64.run"
ln -s /tmp/quillmarsh-installer-x86_64.run "$work/link/home/installer.run"

# Rows that change the defaults do so in a subshell.
(file=$work/aarch64.run; quick other-processor "this computer has an x86_64 (64-bit Intel or AMD) processor: download quillmarsh-installer-x86_64.run instead")
(user_env=(PATH=/tmp/dialog:/usr/bin:/bin)
 quick riscv64 "processor (riscv64) is not supported" --ro-bind "$work/uname" /usr/bin/uname --bind "$work/dialog" /tmp/dialog)
verdict "riscv64, in a window" "$(grep -q "riscv64) is not supported" "$work/dialog/words" || echo "no dialog")"
(sysroot=$bb become=(); quick no-c-library "no GNU C library (/lib64/ld-linux-x86-64.so.2 is missing)" --unshare-user --uid $U --gid $U)
(file=$work/glibc-2.99.run; quick glibc-too-old "too old: version [0-9.]* found, 2.99 or newer needed")
(file=$work/cut.run; quick cut-short "is damaged")
(file=$work/changed.run; quick byte-changed "is damaged")
quick no-libsm "lacks libraries.*libSM.so.6" --ro-bind /dev/null /usr/lib/x86_64-linux-gnu/libSM.so.6
quick disk-full "cannot unpack into /home/qm/.cache/quillmarsh-installer-run: .*No space left"
(user_env=(PATH=/home/qm/bin:/usr/bin:/bin) start=(sh -c 'cd /tmp && exec sh quillmarsh-installer-x86_64.run'); quick sh-file starts)
(start=(sh -c 'cd /home/qm/elsewhere && exec ../installer.run'); quick link starts)
# A cache folder below one its group may write is not used: the file unpacks elsewhere.
mkdir -p -m 0775 "$work/group-cache/home/grp" && chown "$U:$U" "$work/group-cache/home" "$work/group-cache/home/grp"
(user_env=(XDG_CACHE_HOME=/home/qm/grp/cache); quick group-cache starts)
verdict "group-cache, not unpacked there" "$(ls -A "$work/group-cache/home/grp/cache/quillmarsh-installer-run" 2>&1)"
# Programs may not be started from the home and its cache folder (noexec): the user is told so.
mkdir -p "$work/noexec-all/home" && mount -t tmpfs -o noexec,mode=0700,uid=$U,gid=$U qm-noexec-all "$work/noexec-all/home"
quick noexec-all "programs may not be run from any folder .*(tried /home/qm/.cache, /home/qm): .*mounted noexec"

# Twice in one home, with the cache folder elsewhere and an older version's unpack in it: the
# first run unpacks there and removes the older one, the second starts from that copy with no
# unpack.
cache=$work/twice/home/xdg/quillmarsh-installer-run sha=$(sed -n '2s/.*qm_sha256=\([0-9a-f]*\).*/\1/p' "$run")
mkdir -p "$cache/$(printf '%064d' 0)/bin" && chown -R "$U:$U" "$work/twice" && chmod 0700 "$cache"
user_env=(XDG_CACHE_HOME=/home/qm/xdg)
quick twice:1 starts
before=$(stat -c %y "$cache")
quick twice:2 starts
user_env=()
why=$(ls -A "$cache" | tr '\n' ' ')
[ "$why" = "$sha " ] && [ -f "$cache/$sha/.complete" ] && why="" || why="the cache folder holds $why"
[ "$(stat -c %y "$cache")" = "$before" ] || why="$why; the second run unpacked"
left=$(cd "$work/twice/home" && find . -maxdepth 2 -name '.*-run-*' -o -path ./.cache/quillmarsh-installer-run)
verdict "twice, the home" "$why${left:+; unpacked elsewhere: $left}"

# Another user, who may write the folder above the cache folder (not sticky), watches the
# process list for a tar unpacking into it; when that tar ends, they put a cache folder of their
# own in its place, with a zstd of theirs at the same path. Nothing of theirs runs.
swap=/tmp/qm-package-swap-$$
mkdir "$swap" && mount -t tmpfs -o mode=0777 qm-swap "$swap"
trap 'kill $(jobs -p) 2>/dev/null; wait; umount "$swap"; rmdir "$swap"' EXIT
setpriv --reuid=$((U + 1)) --regid=$((U + 1)) --clear-groups /usr/bin/python3 - "$swap" <<'PY' &
import os, sys, time
swap, end, found = sys.argv[1], time.monotonic() + 60, None
def running(pid):
    try:
        return open(f"/proc/{pid}/stat").read().rsplit(") ")[1][0] != "Z"
    except OSError:
        return False
while not found and time.monotonic() < end:
    time.sleep(0.001)
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            args = open(f"/proc/{pid}/cmdline").read().split("\0")
        except OSError:
            continue
        stage = [a for a in args if a.startswith("/tmp/scratch/cache/quillmarsh-installer-run/.unpack-")]
        found = found or (args[0].endswith("tar") and stage and (pid, os.path.basename(stage[0])))
if found:
    fake = f"{swap}/fake/quillmarsh-installer-run/{found[1]}/libexec"
    os.makedirs(fake)
    open(fake + "/zstd", "w").write("#!/bin/sh\necho ran > /tmp/scratch/theirs\n")
    os.chmod(fake + "/zstd", 0o755)
    while running(found[0]):
        pass
    os.rename(swap + "/cache", swap + "/ours")
    os.rename(swap + "/fake", swap + "/cache")
PY
(user_env=(XDG_CACHE_HOME=/tmp/scratch/cache); quick swapped-cache starts --bind "$swap" /tmp/scratch)
verdict "swapped-cache, their program" "$([ ! -e "$swap/theirs" ] || echo "another user's zstd ran")"

# A headless Wayland compositor and no X server at all (the virtual display is gone). No Wayland
# client may send input to another, and weston has no protocol for it: Install is pressed
# through the accessibility bus, as a screen reader would. The user's session bus and the one the
# accessibility bus launcher makes live in a runtime folder at the same path inside the sandbox
# and out, as the launcher hands out its bus by path.
kill "$xvfb" && wait "$xvfb" 2>/dev/null || true
wl=/tmp/qm-package-runtime-$$
mkdir -m 0700 "$wl" && mount -t tmpfs -o mode=0700,uid=$U,gid=$U,size=16m qm-runtime "$wl"
trap 'kill $(jobs -p) 2>/dev/null; wait; umount "$wl" "$swap"; rmdir "$wl" "$swap" || true' EXIT
install -m 0644 "$src/tests/package/press.py" "$wl/press.py"
# A plain command, not a function: a job started with it is the program itself, which the trap
# above stops.
as_user=(setpriv --reuid=$U --regid=$U --clear-groups env XDG_RUNTIME_DIR="$wl")
session=(XDG_RUNTIME_DIR="$wl" WAYLAND_DISPLAY=wayland-qm DBUS_SESSION_BUS_ADDRESS="unix:path=$wl/bus"
         QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
mount --bind "$work/passwd" /etc/passwd # the bus wants a name for the user
"${as_user[@]}" weston --backend=headless-backend.so --socket=wayland-qm > "$work/weston.log" 2>&1 &
"${as_user[@]}" dbus-daemon --session --nofork --address="unix:path=$wl/bus" > "$work/dbus.log" 2>&1 &
for _ in $(seq 100); do [ -S "$wl/wayland-qm" ] && [ -S "$wl/bus" ] && break; sleep 0.1; done
"${as_user[@]}" "${session[@]}" /usr/libexec/at-spi-bus-launcher --launch-immediately --a11y=1 \
    > "$work/at-spi.log" 2>&1 &
for _ in $(seq 100); do [ -S "$wl/at-spi/bus" ] && break; sleep 0.1; done
unset DISPLAY
row wayland "${fuse[@]}" --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt --bind "$wl" "$wl" \
    --tmpfs /tmp/.X11-unix
[ ! -e "$work/.failed" ] || failed=1
exit $failed
