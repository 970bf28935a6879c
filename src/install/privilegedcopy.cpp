#include "privilegedcopy.h"

#include "diag/itformat.h"

#include <QHash>
#include <QRegularExpression>

#include <unistd.h>

namespace install {

QString shellQuote(const QString &path)
{
    QString quoted = path;
    quoted.replace(u'\'', QLatin1String("'\\''"));
    return u'\'' + quoted + u'\'';
}

QString appleScriptCopyScript(const QString &source, const QString &dest)
{
    const QString commandLine = ITFormat("/bin/rm -rf %@ && /usr/bin/ditto %@ %@", shellQuote(dest),
                                         shellQuote(source), shellQuote(dest));
    // Backslashes first, so the ones escaping the double quotes are not doubled again.
    QString escaped = commandLine;
    escaped.replace(u'\\', QLatin1String("\\\\"));
    escaped.replace(u'"', QLatin1String("\\\""));
    return QStringLiteral("do shell script \"") + escaped +
           QStringLiteral("\" with administrator privileges");
}

namespace {

// Run by /bin/sh as root. Everything it reads comes from its own text or from standard input,
// and everything it runs is a system tool at a fixed path: the user's files, mounts and
// programs can change while the prompt is open, this text cannot. The image (or an archive of
// the bundle) arrives on standard input and counts only once its size and SHA-256 match the
// ones written here; the bundle is then read from that root-only copy. The install folder has
// been checked to be changeable by root alone, so no one else can swap what is made in it.
// Root ignores reserved blocks and quotas, so it bounds what it writes itself: the space users
// may take must hold the input and the bundle before a byte of them is written, and what the
// input lists before it is extracted; no file may outgrow the larger of the two. "$(...)"
// drops trailing line feeds, which a name may end in, so each capture of a path ends in an x.
constexpr char kRootScript[] = R"SH(set -u
umask 022
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
dir=@DIR@
name=@NAME@
bytes=@SIZE@
tree=@TREE@
dest="$dir/$name"
refuse() { printf 'refused: %s\n' "$*" >&2; [ -n "${t:-}" ] && /bin/rm -rf -- "$t"; exit 1; }
room() {
  a=$(/usr/bin/stat -f -c '%a %S' -- "$dir") || refuse "cannot tell the free space in $dir"
  a=$((${a% *} * ${a#* }))
  want=$(($1 + @MARGIN@))
  [ "$a" -ge "$want" ] && return
  printf 'refused: not enough space in %s: %s bytes needed, %s available\n' "$dir" "$want" "$a" >&2
  [ -n "${t:-}" ] && /bin/rm -rf -- "$t"
  exit 3
}
/bin/mkdir -p -m 0755 -- "$dir" || refuse "cannot create $dir"
# One root install at a time sweeps and makes its staging folder, which it locks before the
# next one looks. The lock is a file in a folder of root's that no one else may enter: any user
# can open the install folder and hold a lock on it, and so could stall root for ever. The wait
# is bounded, since the holder may be an install stopped midway. Staging folders of killed
# installs go unless a live install holds their lock ("command": a folder that cannot be opened
# must not end the shell, as a failed exec would); one killed between the two renames of a swap
# still holds the old copy, which goes back first.
l=@LOCKDIR@
/bin/mkdir -p -m 0700 -- "$l" && [ -d "$l" ] && [ ! -L "$l" ] &&
  [ "$(/usr/bin/stat -c %u:%a -- "$l")" = 0:700 ] && command exec 7>>"$l/lock" ||
  refuse "cannot use root's lock folder $l"
/usr/bin/flock -w @LOCKWAIT@ 7 ||
  refuse "another administrator install held $l/lock for more than @LOCKWAIT@ seconds"
for d in "$dir"/.quillmarsh-*; do
  if [ -d "$d" ] && [ ! -L "$d" ] && command exec 8<"$d"; then
    if /usr/bin/flock -n 8; then
      if [ ! -e "$dest" ] && [ ! -L "$dest" ] && [ -d "$d/old" ] && [ ! -L "$d/old" ]; then
        /bin/mv -T -- "$d/old" "$dest"
      fi
      /bin/rm -rf -- "$d"
    fi
    exec 8<&-
  fi
done
room $((bytes + tree))
t=$(/bin/mktemp -d -- "$dir/.quillmarsh-XXXXXXXX" && echo x) || refuse "cannot create a folder in $dir"
t=${t%?x}
command exec 9<"$t" && /usr/bin/flock -n 9 || refuse "cannot lock $t"
exec 7<&-
/bin/chmod 0700 -- "$t" || refuse "cannot protect $t"
ulimit -f @BLOCKS@
/usr/bin/head -c @SIZE@ > "$t/input" || refuse "cannot read the @WHAT@"
[ "$(/usr/bin/stat -c %s -- "$t/input")" = @SIZE@ ] || refuse "the @WHAT@ is not @SIZE@ bytes"
[ "$(/usr/bin/sha256sum < "$t/input")" = "@SHA256@  -" ] ||
  refuse "the @WHAT@ does not have the SHA-256 it was checked with"
@EXTRACT@
/bin/rm -f -- "$t/input"
b="$t/tree/$name"
[ -d "$b" ] && [ ! -L "$b" ] || refuse "$name is not a folder"
# The first entry of the bundle that the find tests given pick, as Name.app/sub/entry with the
# bytes escaped that ls escapes; nothing when there is none.
first() {
  (cd -- "$t/tree" && LC_ALL=C /usr/bin/find "./$name" "$@" \
    -exec /bin/ls -d --quoting-style=escape -- {} \; -quit) | /bin/sed 's,^\./,,'
}
bad=$(first ! -type f ! -type d ! -type l)
[ -z "$bad" ] || refuse "$bad is not a file, folder or link"
root=$(/usr/bin/realpath -e -- "$b" && echo x) || refuse "cannot resolve $name"
root=${root%?x}
bad=$(cd -- "$t/tree" && /usr/bin/find "./$name" -type l -exec /bin/sh -c '
  root=$1; shift
  for l; do
    why="leaves the bundle"
    case $(/usr/bin/readlink -- "$l"; echo x) in
      /*) ;;
      *) r=$(/usr/bin/realpath -m -- "$l" && echo x); r=${r%?x}
         if [ -L "$r" ]; then why=loops; else case "$r/" in "$root"/*) continue;; esac; fi;;
    esac
    printf "%s is a link that %s\n" "$(LC_ALL=C /bin/ls -d --quoting-style=escape -- "$l")" "$why"; exit
  done' sh "$root" {} +)
[ -z "$bad" ] || refuse "${bad#./}"
bad=$(first \( -name '*[[:cntrl:]]*' -o -lname '*[[:cntrl:]]*' \))
[ -z "$bad" ] || refuse "$bad has a control character in its name or link target"
/bin/chown -R -h 0:0 -- "$b" || refuse "cannot take ownership of the copy"
/usr/bin/find "$b" ! -type l -exec /bin/chmod ug-s,go-w,-t -- {} + ||
  refuse "cannot set the copy's permissions"
if [ -e "$dest" ] || [ -L "$dest" ]; then
  /bin/mv -T -- "$dest" "$t/old" || refuse "cannot move the old copy aside"
fi
if ! /bin/mv -T -- "$b" "$dest"; then
  [ -e "$t/old" ] && /bin/mv -T -- "$t/old" "$dest"
  refuse "cannot move the copy to $dest"
fi
/bin/rm -rf -- "$t"
exit 0
)SH";

// The image's listing gives the bundle's files with their sizes before any is written out; the
// sizes are the most that unsquashfs writes, holes in the image staying holes.
constexpr char kFromImage[] = R"SH(total=0 need=0
/usr/bin/unsquashfs -lln "$t/input" "$name" > "$t/listing" || refuse "cannot read the image"
while read -r mode owner n rest; do
  case $mode in
    -*) case $n in ''|*[!0-9]*|????????????????*) refuse "cannot read the image's listing: $rest";; esac
        total=$((total + n)) need=$((need + (n + 4095) / 4096 * 4096));;
    d*) need=$((need + 4096));;
  esac
done < "$t/listing"
[ "$total" -le "$tree" ] || refuse "the image lists $total bytes in $name, more than the $tree checked"
room "$need"
/usr/bin/unsquashfs -no-progress -no-xattrs -d "$t/tree" "$t/input" "$name" >/dev/null ||
  refuse "cannot read the image")SH";

// Root takes a plain archive only and never runs a decompressor: the first header must carry
// the ustar magic (the shell drops NUL bytes, so only "ustar" itself compares equal to those
// five), and GNU tar refuses a compressed archive on standard input. The listing is
// read before a byte is written out: only files, folders, links to relative paths and hard
// links within the bundle, all under names inside it. Each entry comes with the block its
// header starts at, so an entry listed larger than the blocks up to the next header (a sparse
// file, or a false size) is seen, as is a listed total larger than the archive. A link that
// climbs is left to the checks after the extraction (tar makes such links only once every
// file is out, so nothing is written through them). Owners and modes in the archive are not
// taken. Names are listed as C strings, one a line whatever bytes they hold, and taken apart
// into block, kind, size, name and link target, one entry a line.
constexpr char kFromArchive[] = R"SH(tar=
for p in /usr/bin/tar /bin/tar; do
  case $(/usr/bin/stat -L -c %u:%A -- "$p" 2>/dev/null) in 0:-??x?[!w]??[!w]?) tar=$p; break;; esac
done
[ -n "$tar" ] || refuse "no tar of the system's in /usr/bin or /bin"
[ "$(/usr/bin/head -c 262 -- "$t/input" | /usr/bin/tail -c 5)" = ustar ] ||
  refuse "the archive is not a plain tar archive"
list() { LC_ALL=C "$tar" --quoting-style=c --numeric-owner --no-wildcards -t -f - "$@" < "$t/input"; }
listing=$(list -v -R) && top=$(list --no-recursion -- "$name") || refuse "cannot read the archive"
entries=$(printf '%s\nblock %d: ** end\n' "$listing" $((bytes / 512)) | LC_ALL=C /bin/sed \
  -e 's/^block \([0-9]*\): \*\* .*/\1\tend/;t' \
  -e 's/^block \([0-9]*\): \(.\)[^ ]* \+[^ ]* \+\([0-9,]*\) [^"]*\("\([^"\\]\|\\.\)*"\)\( -> \| link to \|$\)\(.*\)$/\1\t\2\t\3\t\4\t\7/;t' \
  -e 's/^/0\t?\t0\t/')
nl='
'
tab=$(printf '\t')
q=${top%%"$nl"*}
q=${q%\"}
q=${q%/}
total=0 need=0 at=
while IFS=$tab read -r blk kind n nm to; do
  [ "$kind" != '?' ] || refuse "cannot read the archive's listing: $nm"
  [ -z "$at" ] || [ "$size" -le $(((blk - at - 1) * 512)) ] ||
    refuse "the archive lists $prev at $size bytes, more than it holds: a sparse file or a false size"
  at=
  case $kind in
    end) continue;;
    -|d|l|h) ;;
    *) refuse "the archive holds what is not a file, folder or link: $kind $nm";;
  esac
  case $nm in '"/'*|'"../'*|'".."'|*/../*|*'/.."')
    refuse "the archive holds a name outside its folder: $nm";;
  esac
  case $nm in "$q\""|"$q/\""|"$q/"*) ;; *) refuse "the archive holds $nm, outside $name";; esac
  case $kind$to in 'l"/'*) refuse "the archive holds a link to an absolute path: $nm -> $to";; esac
  [ "$kind" != h ] || case $to in */../*|*'/.."') false;; "$q/"*) ;; *) false;; esac ||
    refuse "the archive holds a hard link to outside $name: $nm link to $to"
  case $n in ''|*[!0-9]*|????????????????*) refuse "cannot read the archive's listing: $nm";; esac
  total=$((total + n)) need=$((need + (n + 4095) / 4096 * 4096)) at=$blk size=$n prev=$nm
  [ "$kind" != d ] || need=$((need + 4096))
  [ "$total" -le "$bytes" ] || refuse "the archive lists $total bytes, more than its own $bytes"
done <<EOF
$entries
EOF
room "$need"
/bin/mkdir -m 0700 -- "$t/tree" && LC_ALL=C "$tar" -x -f - -C "$t/tree" --no-same-owner \
  --no-same-permissions --no-acls --no-xattrs --no-selinux < "$t/input" ||
  refuse "cannot read the archive")SH";

} // namespace

QString pkexecInstallCommand(const RootInstall &install)
{
    const bool archive = install.payload == RootInstall::Payload::TarArchive;
    const QHash<QString, QString> values{
        {QStringLiteral("DIR"), shellQuote(install.destDir)},
        {QStringLiteral("NAME"), shellQuote(install.bundleName)},
        {QStringLiteral("SIZE"), QString::number(install.imageSize)},
        {QStringLiteral("SHA256"), QString::fromLatin1(install.sha256.toHex())},
        {QStringLiteral("TREE"), QString::number(qMax<qint64>(install.bundleSize, 0))},
        {QStringLiteral("MARGIN"), QString::number(kRootSpaceMargin)},
        {QStringLiteral("LOCKDIR"), shellQuote(QString::fromLatin1(kRootLockFolder))},
        {QStringLiteral("LOCKWAIT"), QString::number(qMax(install.lockWaitSeconds, 1))},
        // In blocks of 512 bytes; a shell that counts in KiB only loosens the backstop.
        {QStringLiteral("BLOCKS"),
         QString::number(qMax(install.imageSize, install.bundleSize) / 512 + 1)},
        {QStringLiteral("WHAT"), QString::fromLatin1(archive ? "archive" : "image")},
        {QStringLiteral("EXTRACT"), QString::fromLatin1(archive ? kFromArchive : kFromImage)},
    };
    // One pass: a folder or bundle name that holds a placeholder's text stays that text.
    static const QRegularExpression placeholder(QStringLiteral("@([A-Z0-9]+)@"));
    const QString script = QString::fromLatin1(kRootScript);
    QString command;
    qsizetype done = 0;
    for (auto it = placeholder.globalMatch(script); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        command += script.mid(done, match.capturedStart() - done) + values.value(match.captured(1));
        done = match.capturedEnd();
    }
    return command + script.mid(done);
}

QString systemTar()
{
    for (const char *path : {"/usr/bin/tar", "/bin/tar"}) {
        if (::access(path, X_OK) == 0)
            return QString::fromLatin1(path);
    }
    return {};
}

QString privilegedFailureMessage(ElevationProtocol protocol, int status, const QString &output)
{
    bool cancelled = false;
    if (protocol == ElevationProtocol::AppleScript)
        cancelled = output.contains(QLatin1String("-128")) ||
                    output.contains(QLatin1String("User canceled"));
    else
        cancelled = status == 126;
    return QString::fromLatin1(cancelled ? kCancelledMessage : kCopyFailedMessage);
}

} // namespace install
