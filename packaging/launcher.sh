# Quillmarsh online installer, self-contained for Linux desktops of one processor. After these
# lines come a small gzip-compressed tar of the zstd that unpacks the rest, and a zstd-compressed
# tar of the program with the libraries, Qt plugins and fonts it needs beyond the desktop's
# baseline (C library, X11 or Wayland client libraries, fontconfig and FreeType, GL, D-Bus, a CA
# store, pkexec). The lines above say which processor and C library the file is for, where the
# two tars start, and their size and SHA-256 together.
#
# The first run checks the processor and the C library, unpacks into a private folder of the
# user named after that SHA-256 and keeps the copy only when the bytes are those the file was
# built with; later runs start from there. Every refusal says why, and leaves nothing unpacked.
# The names here begin with qm_ so that no variable the user exports changes its value for the
# program; the user's umask is left as it is: the installer runs with it.
qm_stage="" qm_transient="" qm_check=""

say() { printf 'quillmarsh-installer: %s\n' "$*" >&2; }

# A message on the terminal, and in a window where there is a display and a tool to show one.
refuse() {
    say "$1"
    [ -z "$qm_check" ] || kill "$qm_check" 2>/dev/null
    rm -rf ${qm_stage:+"$qm_stage"} ${qm_transient:+"$qm_transient"}
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        if command -v zenity >/dev/null 2>&1; then zenity --error --no-markup --text="$1"
        elif command -v kdialog >/dev/null 2>&1; then kdialog --error "$1"
        elif [ -n "${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then xmessage -center "$1"
        fi >/dev/null 2>&1
    fi
    exit 1
}

processor() {
    case $1 in
    x86_64) echo "x86_64 (64-bit Intel or AMD)" ;;
    aarch64) echo "arm64 (aarch64)" ;;
    esac
}

# The folder's path with no links in it, in qm_root (cd -P, in a subshell: this shell stays
# where it is). "$(...)" drops the line feeds a name may end in, so the capture ends in an x.
real() { qm_root=$(cd -P -- "$1" 2>/dev/null && pwd && echo x) && qm_root=${qm_root%?x}; }

# Whether no one but root and the user can change the folder $2 (a path with no links) or the
# way to it: every folder from / down to it is root's or the user's and writable by no one else,
# or sticky (other users may add entries there, but not rename or remove ours). Another user who
# may rename a folder on the way could put a copy of theirs in its place between our check and
# our use. With $1 "private", the folder is also the user's, of mode 0700. One stat for the whole
# way, the first entry the user's own (stat's process folder).
safe() {
    qm_p=$2
    set -- "$1" /proc/self/ "$2"
    while [ -n "${qm_p%/*}" ]; do
        qm_p=${qm_p%/*}
        set -- "$@" "$qm_p"
    done
    qm_kind=$1
    shift
    qm_modes=$(stat -c '%u %A' -- "$@" /) || return 1
    # shellcheck disable=SC2086 # a uid and a mode a line: words without patterns
    set -- $qm_modes
    qm_me=$1
    [ "$qm_kind" != private ] || { [ "$3" = "$qm_me" ] && [ "$4" = drwx------ ]; } || return 1
    shift 2
    while [ $# -ge 2 ]; do
        case $1 in 0 | "$qm_me") ;; *) return 1 ;; esac
        case $2 in d*[tT]) ;; d????w* | d???????w*) return 1 ;; d*) ;; *) return 1 ;; esac
        shift 2
    done
}

# Whether programs may be started from the folder $1, which is the user's: a file system
# mounted noexec (a cache folder on a tmpfs or a hardened mount often is) refuses them, and
# only starting one tells for sure.
runs_here() {
    printf '#!/bin/sh\n' > "$1/.exec-check" && chmod 0700 "$1/.exec-check" &&
        "$1/.exec-check" 2>/dev/null
    qm_ran=$?
    rm -f "$1/.exec-check"
    return $qm_ran
}

# What the system's dynamic loader makes of FILES, one a line: the path of each library they
# load, and "missing NAME" for each library or symbol version it cannot find. Paths may hold
# spaces (the folder unpacked into is the user's to name).
probe() {
    for f in "$@"; do "$qm_loader" --list "$f" 2>&1; done | sed -n \
        -e 's/^[[:space:]]*\([^ ]*\) => not found.*/missing \1/p' \
        -e 's/.*error while loading shared libraries: \([^:]*\):.*/missing \1/p' \
        -e 's/.*\(version .* not found\).*/missing \1/p' \
        -e 's/^[[:space:]]*[^ ]* => \(\/.*\) (0x[0-9a-f]*)$/\1/p'
}

# Refuses to go on when the program or the Qt platform plugin of this session's display needs
# a library this machine lacks; otherwise records the system libraries they load in .baseline,
# which later runs check cheaply. One pass of the loader, and shell built-ins for the rest: on a
# busy machine every program started costs a first run tens of milliseconds.
check_baseline() {
    qm_plugins=$1/lib/qt6/plugins/platforms
    probe "$1/bin/quillmarsh-installer" \
        ${WAYLAND_DISPLAY:+"$qm_plugins/libqwayland-generic.so"} \
        ${DISPLAY:+"$qm_plugins/libqxcb.so"} > "$1/.baseline"
    qm_missing="" qm_found=""
    while IFS= read -r qm_line; do
        case $qm_line in
        "missing "*) qm_missing="$qm_missing ${qm_line#missing }" ;;
        "$1"/*) ;; # the file's own, found wherever it is unpacked
        *) qm_found="$qm_found$qm_line
" ;;
        esac
    done < "$1/.baseline"
    [ -z "$qm_missing" ] ||
        refuse "this system lacks libraries every desktop has, the installer cannot start:$qm_missing"
    printf '%s' "$qm_found" > "$1/.baseline" ||
        refuse "cannot unpack into ${1%/*}: it is full or cannot be written."
}

# COUNT bytes of this file from OFFSET, through the decompressor, into the stage; prints what
# went wrong, in the programs' own words. Each program's status is looked at (a pipeline's is
# only its last program's, and tar ends with 0 on a stream cut between two members), and the
# words are kept in memory: the disk may be what is full.
unpack() {
    {
        dd if="$qm_self" bs=65536 iflag=skip_bytes,count_bytes skip="$1" count="$2" status=none \
            2>/dev/null |
            { "$3" -dcq || echo "${3##*/} failed" >&2; } |
            { tar -xf - -C "$qm_stage" || echo "tar failed" >&2; }
    } 2>&1
}

# The processor, before anything else: uname, not /proc, so that a processor emulated for this
# process counts.
qm_machine=$(uname -m)
case $qm_machine in amd64) qm_machine=x86_64 ;; arm64) qm_machine=aarch64 ;; esac
if [ "$qm_machine" != "$qm_arch" ]; then
    [ -n "$(processor "$qm_machine")" ] ||
        refuse "this computer's processor ($qm_machine) is not supported: the installer runs on $(processor x86_64) and $(processor aarch64) processors."
    refuse "this file is for $(processor "$qm_arch") processors, and this computer has an $(processor "$qm_machine") processor: download quillmarsh-installer-$qm_machine.run instead."
fi

case ${HOME:-} in /?*) ;; *) refuse "HOME is not set to a folder." ;; esac
qm_cache=${XDG_CACHE_HOME:-}
case $qm_cache in /*) ;; *) qm_cache=$HOME/.cache ;; esac

# Unpacked before, completely (the marker is written last) and in a folder no one else can
# change: start at once.
if real "$qm_cache"; then
    qm_base=$qm_root/quillmarsh-installer-run
    qm_dir=$qm_base/$qm_sha256
    if [ -f "$qm_dir/.complete" ] && [ -x "$qm_dir/bin/quillmarsh-installer" ] &&
        safe private "$qm_base"; then
        # A system library removed since then is explained rather than left to the loader.
        while IFS= read -r qm_lib; do
            [ -e "$qm_lib" ] || { check_baseline "$qm_dir"; break; }
        done < "$qm_dir/.baseline"
        exec "$qm_dir/bin/quillmarsh-installer" "$@"
    fi
fi

[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] ||
    refuse "no display: the installer needs an X11 or Wayland desktop session."

# This file as it was started, by its path: "sh FILE" names it with no slash, in the current
# folder, where a search of PATH could find another file of that name.
case $0 in */*) qm_self=$0 ;; *) qm_self=./$0 ;; esac
[ -f "$qm_self" ] && [ -r "$qm_self" ] ||
    refuse "cannot read this file ($0): start it by its path, for example ./${0##*/}"
# Its length and its tars' SHA-256 are checked on the side, from now on and while they unpack
# (on another processor core); the copy is used only when they are as built.
{
    [ $(($(wc -c < "$qm_self"))) = $((qm_tools_at + qm_size)) ] || exit 2
    [ "$(tail -c +$((qm_tools_at + 1)) "$qm_self" | sha256sum)" = "$qm_sha256  -" ]
} &
qm_check=$!

# The C library: GNU's, at the loader's path, of the version the file was built against or
# newer. The loader names its version from glibc 2.33 on; an older one is found by the name of
# the file its path links to (ld-2.31.so).
qm_gnu="the installer needs the GNU C library (glibc) $qm_glibc or newer for"
[ -e "$qm_loader" ] ||
    refuse "this system has no GNU C library ($qm_loader is missing): $qm_gnu $(processor "$qm_arch")."
qm_version=$("$qm_loader" --version 2>&1)
qm_version=${qm_version%%"
"*}
case $qm_version in
*musl*) refuse "this system's C library is musl, not the GNU C library: $qm_gnu $(processor "$qm_arch")." ;;
*" version "[0-9]*.*) qm_version=${qm_version##* version } ;;
*) qm_version=$(readlink -f -- "$qm_loader") && qm_version=${qm_version##*/ld-} ;;
esac
qm_version=${qm_version%.so}
qm_version=${qm_version%.}
case $qm_version in
[0-9]*.[0-9]*)
    qm_major=${qm_version%%.*} qm_minor=${qm_version#*.}
    qm_minor=${qm_minor%%[!0-9]*}
    if [ "$qm_major" -lt "${qm_glibc%%.*}" ] ||
        { [ "$qm_major" = "${qm_glibc%%.*}" ] && [ "$qm_minor" -lt "${qm_glibc#*.}" ]; }; then
        refuse "this system's GNU C library is too old: version $qm_major.$qm_minor found, $qm_glibc or newer needed."
    fi
    ;;
esac # a version it does not name: the loader's check of the libraries below still tells

# Where to unpack: the user's cache folder, kept for later runs, when no one else can change
# it; otherwise a fresh folder for this run only, removed at its end, in the home folder or else
# in the runtime folder, the first of them no one else can change. Each only where programs
# may be started from it.
[ -d "$qm_cache" ] || mkdir -p -m 0700 "$qm_cache" 2>/dev/null
qm_dir="" qm_noexec=""
if real "$qm_cache"; then
    qm_base=$qm_root/quillmarsh-installer-run
    [ -d "$qm_base" ] || mkdir -m 0700 "$qm_base" 2>/dev/null
    if safe private "$qm_base"; then
        if runs_here "$qm_base"; then qm_dir=$qm_base/$qm_sha256; else qm_noexec=", $qm_root"; fi
    fi
fi
if [ -z "$qm_dir" ]; then
    for qm_root in "$HOME" "${XDG_RUNTIME_DIR:-}"; do
        case $qm_root in /*) ;; *) continue ;; esac
        if real "$qm_root" && safe any "$qm_root" &&
            qm_transient=$(mktemp -d "$qm_root/.quillmarsh-installer-run-XXXXXX"); then
            runs_here "$qm_transient" && break
            rm -rf "$qm_transient"
            qm_noexec="$qm_noexec, $qm_root"
        fi
        qm_transient=""
    done
    [ -n "$qm_transient" ] || [ -z "$qm_noexec" ] ||
        refuse "cannot start: programs may not be run from any folder the installer may unpack into (tried ${qm_noexec#, }): their file systems are mounted noexec."
    [ -n "$qm_transient" ] ||
        refuse "found no folder to unpack into that this user may write to and no other user may change (the cache folder $qm_cache, the home folder, the runtime folder): one of the folders above each is another user's or writable by others."
    qm_base=$qm_transient
    qm_dir=$qm_transient/run
fi

qm_stage=$(mktemp -d "$qm_base/.unpack-XXXXXX") || refuse "cannot unpack into $qm_base."
# zstd itself comes first, from the gzip-compressed tar.
qm_failed=$(unpack "$qm_tools_at" "$qm_tools_size" gzip)
[ -n "$qm_failed" ] ||
    qm_failed=$(unpack $((qm_tools_at + qm_tools_size)) $((qm_size - qm_tools_size)) "$qm_stage/libexec/zstd")
wait "$qm_check" || case $? in
2) refuse "$qm_self is damaged (it is not as long as it was built); download it again." ;;
*) refuse "$qm_self is damaged (its contents are not those it was built with); download it again." ;;
esac
qm_check=""
if [ -n "$qm_failed" ]; then
    # tar names a full disk in words of its own ("Wrote only 3584 of 10240 bytes"); the space
    # left, with the stage still there, tells.
    qm_free=$(df -Pk -- "$qm_base" 2>/dev/null | awk 'NR == 2 { print $4 }')
    case $qm_free in
    '' | *[!0-9]*) ;;
    *) [ "$qm_free" -ge 1024 ] || refuse "cannot unpack into $qm_base: No space left on its disk." ;;
    esac
    refuse "cannot unpack into $qm_base: $(printf '%s\n' "$qm_failed" | head -n 1)"
fi
check_baseline "$qm_stage"
: > "$qm_stage/.complete" || refuse "cannot unpack into $qm_base: it is full or cannot be written."
# Renamed into place whole; when another run of the same file got there first, its copy stays.
mv -T "$qm_stage" "$qm_dir" 2>/dev/null || rm -rf "$qm_stage"
qm_stage=""
if [ -n "$qm_transient" ]; then
    "$qm_dir/bin/quillmarsh-installer" "$@"
    qm_rc=$?
    rm -rf "$qm_transient"
    exit "$qm_rc"
fi
# Earlier versions and unpacks cut short are of no more use (looked for with the shell's own
# patterns first: usually there are none).
for qm_other in "$qm_base"/* "$qm_base"/.[!.]*; do
    if [ "$qm_other" != "$qm_dir" ] && { [ -e "$qm_other" ] || [ -L "$qm_other" ]; }; then
        # From inside: find cannot work from a current folder it may not read.
        (cd -- "$qm_base" && find . -mindepth 1 -maxdepth 1 ! -name "$qm_sha256" \
            \( ! -name '.unpack-*' -o -mmin +30 \) -exec rm -rf {} + 2>/dev/null)
        break
    fi
done
exec "$qm_dir/bin/quillmarsh-installer" "$@"
exit 127 # the tars follow: the shell must never read on
