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
constexpr char kRootScript[] = R"SH(set -u
umask 022
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
dir=@DIR@
name=@NAME@
dest="$dir/$name"
refuse() { echo "refused: $*" >&2; [ -n "${t:-}" ] && /bin/rm -rf -- "$t"; exit 1; }
/bin/mkdir -p -m 0755 -- "$dir" || refuse "cannot create $dir"
# Staging folders of killed installs go unless a live install holds their lock ("command":
# a folder that cannot be opened must not end the shell, as a failed exec would); one killed
# between the two renames of a swap still holds the old copy, which goes back first.
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
t=$(/bin/mktemp -d -- "$dir/.quillmarsh-XXXXXXXX") || refuse "cannot create a folder in $dir"
command exec 9<"$t" && /usr/bin/flock -n 9 || refuse "cannot lock $t"
/bin/chmod 0700 -- "$t" || refuse "cannot protect $t"
/usr/bin/head -c @SIZE@ > "$t/input" || refuse "cannot read the @WHAT@"
[ "$(/usr/bin/stat -c %s -- "$t/input")" = @SIZE@ ] || refuse "the @WHAT@ is not @SIZE@ bytes"
[ "$(/usr/bin/sha256sum < "$t/input")" = "@SHA256@  -" ] ||
  refuse "the @WHAT@ does not have the SHA-256 it was checked with"
@EXTRACT@
/bin/rm -f -- "$t/input"
b="$t/tree/$name"
[ -d "$b" ] && [ ! -L "$b" ] || refuse "$name is not a folder"
bad=$(/usr/bin/find "$b" ! -type f ! -type d ! -type l -print -quit)
[ -z "$bad" ] || refuse "${bad#"$t/tree/"} is not a file, folder or link"
root=$(/usr/bin/realpath -e -- "$b") || refuse "cannot resolve $name"
bad=$(/usr/bin/find "$b" -type l -exec /bin/sh -c '
  root=$1; shift
  for l; do
    case $(/usr/bin/readlink -- "$l") in /*) echo "$l"; exit;; esac
    r=$(/usr/bin/realpath -m -- "$l") || { echo "$l"; exit; }
    case "$r/" in "$root"/*) ;; *) echo "$l"; exit;; esac
  done' sh "$root" {} +)
[ -z "$bad" ] || refuse "${bad#"$t/tree/"} is a link that leaves the bundle"
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

constexpr char kFromImage[] =
    R"SH(/usr/bin/unsquashfs -no-progress -no-xattrs -d "$t/tree" "$t/input" "$name" >/dev/null ||
  refuse "cannot read the image")SH";

// The archive's own listing is read before a byte of it is written out: only files, folders
// and links to relative paths, and no name that is absolute or climbs with "..". A link that
// climbs is left to the checks after the extraction (tar itself makes such links only once
// every file is out, so nothing is written through them). Owners and modes in the archive are
// not taken; names are listed escaped, one a line whatever bytes they hold.
constexpr char kFromArchive[] = R"SH(tar=
for p in /usr/bin/tar /bin/tar; do
  case $(/usr/bin/stat -L -c %u:%A -- "$p" 2>/dev/null) in 0:-??x?[!w]??[!w]?) tar=$p; break;; esac
done
[ -n "$tar" ] || refuse "no tar of the system's in /usr/bin or /bin"
list() { LC_ALL=C "$tar" --force-local --quoting-style=escape --numeric-owner -t "$@" -f "$t/input"; }
kinds=$(list -v) && names=$(list) || refuse "cannot read the archive"
bad=$(printf '%s\n' "$kinds" | /bin/grep -m 1 -v '^[-dl]')
[ -z "$bad" ] || refuse "the archive holds what is not a file, folder or link: $bad"
bad=$(printf '%s\n' "$kinds" | /bin/grep -m 1 '^l.* -> /')
[ -z "$bad" ] || refuse "the archive holds a link to an absolute path: $bad"
bad=$(printf '%s\n' "$names" | /bin/grep -m 1 -e '^/' -e '\(^\|/\)\.\.\(/\|$\)')
[ -z "$bad" ] || refuse "the archive holds a name outside its folder: $bad"
/bin/mkdir -m 0700 -- "$t/tree" && LC_ALL=C "$tar" --force-local -x -f "$t/input" -C "$t/tree" \
  --no-same-owner --no-same-permissions --no-acls --no-xattrs --no-selinux ||
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
