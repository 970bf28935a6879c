#!/bin/sh
# One row of the environment matrix, run as root in a private mount namespace:
#   row.sh SETUP COMMAND...
# SETUP (shell commands, with the helpers below and $R, $H) builds the row's conditions; COMMAND
# (with NAME=VALUE words first for its environment) runs as the unprivileged user with a clean
# environment, killed after 30 s; twice if TWICE is set, the second run following whatever the
# first left running. What it leaves behind (FUSE mounts, processes of the user, its files in
# /tmp) is recorded in $R/out, then "done" printed; the namespace stays up until standard input
# closes, so the test can look at its files through /proc/<pid>/root.
# Environment: R (the row's folder), U (the user's id), FAKE (the fake pkexec), KEEP_HOME (set:
# the home as the last run left it).
set -u
setup=$1
shift
H=$R/home
# The row's folders afresh: the user's home and the fake tools' folder; out/ and bin/ are root's.
mkdir -p -m 0755 "$R" && rm -rf "$R/fuse" "$R/fake" && { [ -n "${KEEP_HOME-}" ] || rm -rf "$H"; } &&
    mkdir -p "$H" "$R/fake" "$R/out" "$R/bin" && chown "$U:$U" "$H" "$R/fake" &&
    chmod 0700 "$H" || exit 92

own() { chown -R "$U:$U" "$@"; }
# tmpfs DIR SIZE: a small file system of the user's.
tmpfs() { mkdir -p "$1" && mount -t tmpfs -o "size=$2,mode=0700,uid=$U,gid=$U" tmpfs "$1"; }
# hide TOOL...: gone from /usr/bin (an overlay whiteout).
hide() { for t in "$@"; do mknod "$R/bin/$t" c 0 0 || return 1; done; }
# fake TOOL STATUS: the recording fake in /usr/bin, exiting with STATUS; STATUS "root": a
# set-user-id fake that runs its arguments as root, as an accepted prompt would.
fake() {
    cp "$FAKE" "$R/bin/$1" || return 1
    if [ "$2" = root ]; then chmod 4755 "$R/bin/$1" && touch "$R/fake/$1.exec"
    else echo "$2" > "$R/fake/$1.rc"; fi
}
# nofuse: the user may not open /dev/fuse (as where only a group may).
nofuse() { [ ! -e "$R/fuse" ] || chmod 0600 "$R/fuse"; }
# rootapps: /mnt/Applications, a folder that only root may change, as /Applications is.
rootapps() { mount -t tmpfs -o size=64m,mode=0755 qm-root /mnt && mkdir -m 0755 /mnt/Applications; }
# oldcopy DIR: an earlier installation of the bundle in DIR.
oldcopy() {
    mkdir -p "$1/Quillmarsh.app" && printf 'old\n' > "$1/Quillmarsh.app/AppRun" &&
        printf '0.9\n' > "$1/Quillmarsh.app/old-version" && own "$1"
}

# As on a desktop: the user has an account (fusermount3 wants a name) and may open /dev/fuse.
# Both only in this namespace; a row may take them away again.
cp /etc/passwd "$R/passwd" && echo "qm-env:x:$U:$U::$H:/usr/sbin/nologin" >> "$R/passwd" &&
    mount --bind "$R/passwd" /etc/passwd || exit 92
if [ -c /dev/fuse ]; then
    mknod -m 0666 "$R/fuse" c 10 229 && mount --bind "$R/fuse" /dev/fuse || exit 92
fi

# What goes into /usr/bin (a set-user-id fake among it) exists in this namespace only.
mount -t tmpfs -o size=16m,mode=0755 qm-bin "$R/bin" || exit 92

eval "$setup" || { echo "row setup failed: $setup" >&2; exit 90; }
if [ -n "$(ls -A "$R/bin")" ]; then
    mount -t overlay overlay -o "lowerdir=$R/bin:/usr/bin" /usr/bin || exit 91
fi

run() {
    timeout -s KILL 30 setpriv --reuid="$U" --regid="$U" --clear-groups env -i HOME="$H" \
        PATH=/usr/bin:/bin LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen QM_FAKE_DIR="$R/fake" \
        ${ASAN_OPTIONS+"ASAN_OPTIONS=$ASAN_OPTIONS"} ${LSAN_OPTIONS+"LSAN_OPTIONS=$LSAN_OPTIONS"} \
        ${UBSAN_OPTIONS+"UBSAN_OPTIONS=$UBSAN_OPTIONS"} "$@"
}
start=$(date +%s%N)
{ [ -z "${TWICE-}" ] || run "$@"; run "$@"; } > "$R/out/summary" 2> "$R/out/stderr"
echo $? > "$R/out/rc"
# How long the installer ran: the kill soak draws its random moments over it.
echo $((($(date +%s%N) - start) / 1000000)) > "$R/out/ms"

# What the user left in /tmp (its id is the row's own). Qt makes the runtime folder there when
# XDG_RUNTIME_DIR is not set; the rest would be ours. All of it goes with the row. (No tmpfs over
# /tmp: the build tree itself may live there.)
find /tmp -mindepth 1 -maxdepth 1 -uid "$U" ! -name runtime-qm-env -printf '%f\n' > "$R/out/tmp"
find /tmp -mindepth 1 -maxdepth 1 -uid "$U" -exec rm -rf {} +
# Only mounts of this row count: the namespace also shows the host's, which are not its doing.
grep -E ' - fuse(\.| )' /proc/self/mountinfo | grep -F " $R/" > "$R/out/mounts"
# Exited daemons wait for the system's init to reap them; those are gone already. A squashfuse
# whose mount has just gone is still on its way out for a moment: only what stays counts.
n=0
while [ $n -lt 20 ] && ps -o stat= -u "$U" | grep -qv '^Z'; do sleep 0.1; n=$((n + 1)); done
ps -o pid=,stat=,args= -u "$U" | awk '$2 !~ /^Z/' > "$R/out/processes"
for pid in $(pgrep -u "$U"); do kill -9 "$pid" 2>/dev/null; done
echo done
cat > /dev/null
