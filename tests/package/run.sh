#!/bin/bash
# The self-contained installer on a bare Debian 12 desktop: a minbase root file system with the
# baseline only (rootfs.sh), the installer run in it with bubblewrap as an ordinary user, on a
# virtual X display or a headless Wayland one, against HTTPS from nginx on loopback; a whole
# install of the signed sample product per row, one of them with administrator rights.
#   run.sh SOURCE_DIR WORK_DIR        exit 77: skipped (the machine cannot make the sandboxes)
set -euo pipefail
src=$1
work=$2
if [ -z "${QM_PACKAGE_NS:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "SKIP: building the sandboxes needs root"; exit 77; }
    unshare --net --mount true 2>/dev/null || { echo "SKIP: no namespaces here"; exit 77; }
    # The root file system is made out here: the private network below has no way to the
    # package mirror.
    QM_PACKAGE_ROOTFS=$("$src/tests/package/rootfs.sh")
    export QM_PACKAGE_ROOTFS
    # A network and mounts of its own: the fixed port and display number are this run's alone.
    QM_PACKAGE_NS=1 exec unshare --net --mount --propagation private "$0" "$@"
fi
ip link set lo up
U=4242
rm -rf "$work" && mkdir -p "$work"

rootfs=$QM_PACKAGE_ROOTFS
banned=$(chroot "$rootfs" dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' |
         awk '$1 ~ /^i/ { print $2 }' |
         grep -E '^(qt6-|libqt6|libcurl|libicu|squashfuse|fuse|libfuse|squashfs-tools)' || true)
[ -z "$banned" ] || { echo "FAIL: the baseline has $banned"; exit 1; }

# The demo package's own build folder beside the others in the source tree, kept from run to
# run so that a run rebuilds only what changed.
build=$src/build-package-demo
run=$work/installer.run
"$src/scripts/package" --demo --base-url https://127.0.0.1:8443 --build-dir "$build" --out "$run" |
    sed -n '1,3p'
sample=$build/sample/image-root/Quillmarsh.app

# A certificate authority of the run's own, and nginx serving the signed images with it.
tls=$work/tls
mkdir -p "$tls" "$work/nginx/logs"
openssl req -x509 -newkey ed25519 -nodes -keyout "$tls/ca.key" -out "$tls/ca.pem" -days 2 \
    -subj /CN=qm-test-ca 2>/dev/null
openssl req -newkey ed25519 -nodes -keyout "$tls/server.key" -out "$tls/server.csr" \
    -subj /CN=127.0.0.1 2>/dev/null
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" -days 2 \
    -extfile <(echo subjectAltName=IP:127.0.0.1) -out "$tls/server.pem" 2>/dev/null
cat > "$work/nginx/nginx.conf" <<CONF
daemon off; user root; error_log $work/nginx/logs/error.log; pid $work/nginx/nginx.pid;
events {}
http {
    access_log $work/nginx/logs/access.log;
    server {
        listen 127.0.0.1:8443 ssl;
        ssl_certificate $tls/server.pem; ssl_certificate_key $tls/server.key;
        root $build/sample/images;
        location /mp/collect { return 204; }
        location /debug/mp/collect { return 200 '{"validationMessages": []}'; }
    }
}
CONF
trap 'kill $(jobs -p) 2>/dev/null; wait' EXIT
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" > /dev/null 2>&1 &
mkdir -p /tmp/.X11-unix && mount -t tmpfs -o mode=1777 qm-x11 /tmp/.X11-unix
Xvfb :7 -ac -nolisten tcp -screen 0 1280x800x24 > /dev/null 2>&1 &
xvfb=$!
export DISPLAY=:7
for _ in $(seq 100); do [ -S /tmp/.X11-unix/X7 ] && break; sleep 0.1; done
cp /etc/passwd "$work/passwd" && echo "qm:x:$U:$U::/home/qm:/bin/sh" >> "$work/passwd"

# row NAME BWRAP_ARGS...: one whole install, Install pressed on the X display (with session set
# to a Wayland one, through the accessibility bus); fails the test with what the row shows.
failed=0
session=(DISPLAY=:7)
as_root=() # run as root in the sandbox, before the user's command (which it is handed)
apps=""    # where the row installs, seen from here; empty: the user's ~/Applications
# sandbox HOME BWRAP_ARGS...: the file run in the bare system as the user, with HOME as home.
sandbox() {
    local home=$1
    shift
    bwrap --ro-bind "$rootfs" / --dev /dev --proc /proc --tmpfs /tmp --tmpfs /home \
        --bind "$home" /home/qm --ro-bind /tmp/.X11-unix /tmp/.X11-unix \
        --ro-bind "$run" /tmp/quillmarsh-installer-x86_64.run --ro-bind "$work/passwd" /etc/passwd \
        --unshare-pid --die-with-parent "$@" "${as_root[@]}" \
        setpriv --reuid=$U --regid=$U --clear-groups --inh-caps=-all \
        env -i HOME=/home/qm "${session[@]}" PATH=/usr/bin:/bin LANG=C.UTF-8 \
        /tmp/quillmarsh-installer-x86_64.run
}
row() {
    local name=$1 home=$work/$1/home
    shift
    mkdir -p "$home" && chown "$U:$U" "$home"
    local log=$home/.local/state/Logs/quillmarsh-installer.log bundle=${apps:-$home/Applications}/Quillmarsh.app
    sandbox "$home" "$@" > "$work/$name/out" 2>&1 &
    local pid=$!
    if [ "${session[0]}" = DISPLAY=:7 ]; then
        if wid=$(timeout 30 xdotool search --sync --onlyvisible --name '^Quillmarsh$' | head -n1); then
            sleep 0.5
            xdotool mousemove --window "$wid" 320 232 click 1 # Install
        fi
    else
        "${as_user[@]}" "${session[@]}" /usr/bin/python3 "$wl/press.py" Install 30 || true
    fi
    for _ in $(seq 600); do
        grep -qE "FLOW: install (SUCCESS|FAIL)" "$log" 2>/dev/null && break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true
    local why=""
    grep -qF "FLOW: install SUCCESS" "$log" 2>/dev/null || why="no successful install"
    grep -qF "FLOW: image verified" "$log" 2>/dev/null || why="$why; the image was not verified"
    diff -r "$sample" "$bundle" >/dev/null 2>&1 || why="$why; the bundle differs"
    if [ -n "$apps" ]; then
        grep -qF "root is handed an archive of the bundle" "$log" || why="$why; root was not handed an archive"
        [ -z "$(find "$bundle" ! -user 0 -print -quit)" ] || why="$why; not all of the bundle is root's"
    fi
    [ -f "$home/.local/share/applications/quillmarsh.desktop" ] || why="$why; no menu entry"
    if [ -n "$why" ]; then
        failed=1
        echo "FAIL: $name: ${why#; }"
        sed 's/^/  | /' "$work/$name/out" "$log" 2>/dev/null | tail -n 40
    else
        echo "PASS: $name"
    fi
}

ca=$tls/ca.pem
fuse=()
[ -c /dev/fuse ] && fuse=(--dev-bind /dev/fuse /dev/fuse)
row xvfb "${fuse[@]}" --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt
row no-dev-fuse --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt
row fedora-ca-path --tmpfs /etc/ssl --tmpfs /etc/pki/tls/certs --ro-bind "$ca" /etc/pki/tls/certs/ca-bundle.crt

# The administrator way into a folder only root may change, on a system without unsquashfs: the
# user's ~/Applications leads there. The sandbox forbids set-user-id programs, so the stand-in
# pkexec hands each command to a root process of the sandbox (pkexec-standin.sh).
apps=$work/admin/apps
mkdir -p -m 0755 "$apps" && mkdir -p "$work/admin/home" && ln -s /opt/Applications "$work/admin/home/Applications"
as_root=(/tmp/pkexec-standin serve)
row admin "${fuse[@]}" --ro-bind "$ca" /etc/ssl/certs/ca-certificates.crt --tmpfs /opt --bind "$apps" /opt/Applications \
    --ro-bind "$src/tests/package/pkexec-standin.sh" /tmp/pkexec-standin \
    --ro-bind "$src/tests/package/pkexec-standin.sh" /usr/bin/pkexec
as_root=()
apps=""

# A library of the X baseline missing: refused in words, and nothing left unpacked.
mkdir -p "$work/no-libsm/home" && chown "$U:$U" "$work/no-libsm/home"
if sandbox "$work/no-libsm/home" --ro-bind /dev/null /usr/lib/x86_64-linux-gnu/libSM.so.6 \
        > "$work/no-libsm/out" 2>&1 ||
    ! grep -q "lacks libraries.*libSM.so.6" "$work/no-libsm/out" ||
    [ -n "$(ls -A "$work/no-libsm/home/.cache/quillmarsh-installer-run")" ]; then
    failed=1
    echo "FAIL: no-libsm: not refused as it should be"
    sed 's/^/  | /' "$work/no-libsm/out"
else
    echo "PASS: no-libsm"
fi

# A headless Wayland compositor and no X server at all (the virtual display is gone). No Wayland
# client may send input to another, and weston has no protocol for it: Install is pressed
# through the accessibility bus, as a screen reader would. The user's session bus and the one the
# accessibility bus launcher makes live in a runtime folder at the same path inside the sandbox
# and out, as the launcher hands out its bus by path.
kill "$xvfb" && wait "$xvfb" 2>/dev/null || true
wl=/tmp/qm-package-runtime-$$
mkdir -m 0700 "$wl" && mount -t tmpfs -o mode=0700,uid=$U,gid=$U,size=16m qm-runtime "$wl"
trap 'kill $(jobs -p) 2>/dev/null; wait; umount "$wl" && rmdir "$wl" || true' EXIT
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
exit $failed
