# Quillmarsh online installer, self-contained for x86_64 Linux desktops. After these lines comes
# a zstd-compressed tar of the program with the libraries, Qt plugins and fonts it needs beyond
# the desktop's baseline (C library, X11 or Wayland client libraries, fontconfig and FreeType,
# GL, D-Bus, a CA store, pkexec). The first run unpacks it into a private folder of the user,
# named after the archive's SHA-256; later runs start from there. The user's umask is left as
# it is: the installer runs with it.

say() { printf 'quillmarsh-installer: %s\n' "$*" >&2; }

# A message on the terminal, and in a window where there is a display and a tool to show one.
refuse() {
    say "$1"
    rm -rf ${stage:+"$stage"} ${transient:+"$transient"}
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        if command -v zenity >/dev/null 2>&1; then zenity --error --no-markup --text="$1"
        elif command -v kdialog >/dev/null 2>&1; then kdialog --error "$1"
        elif [ -n "${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then xmessage -center "$1"
        fi >/dev/null 2>&1
    fi
    exit 1
}

# Whether $base is a folder no other user can change: a real folder (not a link) of the user's
# of mode 0700, in a cache folder of the user's that no one else can write to.
safe_base() {
    [ -O "$cache" ] && [ -d "$base" ] && [ ! -L "$base" ] && [ -O "$base" ] || return 1
    modes=$(stat -L -c %A -- "$cache" "$base" 2>/dev/null) || return 1
    case $modes in ?????w* | ????????w*) return 1 ;; esac
    [ "${modes#*
}" = drwx------ ]
}

loader=/lib64/ld-linux-x86-64.so.2

# What the system's dynamic loader makes of FILES, one a line: the path of each library they
# load, and "missing NAME" for each library or symbol version it cannot find.
probe() {
    for f in "$@"; do "$loader" --list "$f" 2>&1; done | sed -n \
        -e 's/^[[:space:]]*\([^ ]*\) => not found.*/missing \1/p' \
        -e 's/.*error while loading shared libraries: \([^:]*\):.*/missing \1/p' \
        -e 's/.*\(version .* not found\).*/missing \1/p' \
        -e 's/^[[:space:]]*[^ ]* => \(\/[^ ]*\) (.*/\1/p'
}

# Refuses to go on when the program or the Qt platform plugin of this session's display needs
# a library this machine lacks; otherwise records the system libraries they load in .baseline,
# which later runs check cheaply. One pass of the loader, and shell built-ins for the rest: on a
# busy machine every program started costs a first run tens of milliseconds.
check_baseline() {
    [ -x "$loader" ] || refuse "the installer needs the GNU C library for x86_64."
    plugins=$1/lib/qt6/plugins/platforms
    files="$1/bin/quillmarsh-installer"
    [ -n "${WAYLAND_DISPLAY:-}" ] && files="$files $plugins/libqwayland-generic.so"
    [ -n "${DISPLAY:-}" ] && files="$files $plugins/libqxcb.so"
    # shellcheck disable=SC2086
    probe $files > "$1/.baseline"
    missing="" found=""
    while IFS= read -r line; do
        case $line in
        "missing "*) missing="$missing ${line#missing }" ;;
        "$1"/*) ;; # the file's own, found wherever it is unpacked
        *) found="$found$line
" ;;
        esac
    done < "$1/.baseline"
    [ -z "$missing" ] ||
        refuse "this system lacks libraries every desktop has, the installer cannot start:$missing"
    printf '%s' "$found" > "$1/.baseline"
}

self=$0
case $self in */*) ;; *) self=$(command -v -- "$self") ;; esac
[ -n "${HOME:-}" ] || refuse "HOME is not set."
cache=${XDG_CACHE_HOME:-}
case $cache in /*) ;; *) cache=$HOME/.cache ;; esac
base=$cache/quillmarsh-installer-run
dir=$base/$payload_sha256

# Unpacked before, completely (the marker is written last) and in a folder no one else can
# change: start at once.
if [ -f "$dir/.complete" ] && safe_base; then
    # A system library removed since then is explained rather than left to the loader.
    while read -r lib; do
        [ -e "$lib" ] || { check_baseline "$dir"; break; }
    done < "$dir/.baseline"
    exec "$dir/bin/quillmarsh-installer" "$@"
fi

[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] ||
    refuse "no display: the installer needs an X11 or Wayland desktop session."

# The folder of the user's cache when it is safe to keep the program there; otherwise a
# fresh folder for this run only, removed at its end.
[ -d "$cache" ] || mkdir -p -m 0700 "$cache" 2>/dev/null
[ -d "$base" ] || mkdir -m 0700 "$base" 2>/dev/null
transient=""
if ! safe_base; then
    transient=$(mktemp -d "$HOME/.quillmarsh-installer-run-XXXXXX") ||
        refuse "cannot make a private folder in $HOME to unpack into."
    base=$transient
    dir=$transient/run
fi
stage=$(mktemp -d "$base/.unpack-XXXXXX") || refuse "cannot unpack into $base."
# The zstd that unpacks the payload comes first, from a small tar that gzip unpacks (it leaves
# the bytes after its own alone, with a status of 2, which only tar's status hides).
if ! tail -c +"$((tools_at + 1))" "$self" | gzip -cdq | tar -xf - -C "$stage" ||
    ! tail -c +"$((payload_at + 1))" "$self" | "$stage/libexec/zstd" -dcq | tar -xf - -C "$stage"; then
    refuse "$self is damaged (it does not unpack); download it again."
fi
check_baseline "$stage"
: > "$stage/.complete"
# Renamed into place whole; when another run of the same file got there first, its copy stays.
mv -T "$stage" "$dir" 2>/dev/null || rm -rf "$stage"
# Earlier versions and unpacks cut short are of no more use (looked for with the shell's own
# patterns first: usually there are none).
for other in "$base"/* "$base"/.[!.]*; do
    if [ -z "$transient" ] && [ "$other" != "$dir" ] && { [ -e "$other" ] || [ -L "$other" ]; }; then
        find "$base" -mindepth 1 -maxdepth 1 ! -name "$payload_sha256" \
            \( ! -name '.unpack-*' -o -mmin +30 \) -exec rm -rf {} + 2>/dev/null
        break
    fi
done
if [ -n "$transient" ]; then
    "$dir/bin/quillmarsh-installer" "$@"
    rc=$?
    rm -rf "$transient"
    exit "$rc"
fi
exec "$dir/bin/quillmarsh-installer" "$@"
exit 127 # the zstd tar follows: the shell must never read on
