#include "privilegedcopy.h"

#include "diag/itformat.h"

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
// programs can change while the prompt is open, this text cannot. The image arrives on
// standard input and counts only once its size and SHA-256 match the ones written here; the
// bundle is then read from that root-only copy. The install folder has been checked to be
// changeable by root alone, so no one else can swap what is made in it.
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
/usr/bin/head -c @SIZE@ > "$t/image" || refuse "cannot read the image"
[ "$(/usr/bin/stat -c %s -- "$t/image")" = @SIZE@ ] || refuse "the image is not @SIZE@ bytes"
[ "$(/usr/bin/sha256sum < "$t/image")" = "@SHA256@  -" ] ||
  refuse "the image does not have the SHA-256 it was checked with"
/usr/bin/unsquashfs -no-progress -no-xattrs -d "$t/tree" "$t/image" "$name" >/dev/null ||
  refuse "cannot read the image"
/bin/rm -f -- "$t/image"
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

} // namespace

QString pkexecInstallCommand(const RootInstall &install)
{
    QString command = QString::fromLatin1(kRootScript);
    command.replace(QLatin1String("@DIR@"), shellQuote(install.destDir));
    command.replace(QLatin1String("@NAME@"), shellQuote(install.bundleName));
    command.replace(QLatin1String("@SIZE@"), QString::number(install.imageSize));
    command.replace(QLatin1String("@SHA256@"), QString::fromLatin1(install.sha256.toHex()));
    return command;
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
