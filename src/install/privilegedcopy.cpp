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

QString pkexecCopyCommand(const QString &source, const QString &destDir, const QString &dest)
{
    // Copies are owned by root with the staged permission bits: cp -R with links kept as
    // links, modes and times preserved, owners not.
    const QString lines[] = {
        QStringLiteral("umask 022"),
        QStringLiteral("/bin/mkdir -p -- %1 || exit 1").arg(shellQuote(destDir)),
        // Staging folders of killed installs go, unless a live install holds their lock.
        QStringLiteral("for d in %1/.quillmarsh-*; do if [ -d \"$d\" ] && [ ! -L \"$d\" ]; then "
                       "/usr/bin/flock -n \"$d\" /bin/rm -rf -- \"$d\" 2>/dev/null; fi; done")
            .arg(shellQuote(destDir)),
        QStringLiteral("t=$(/bin/mktemp -d -- %1) || exit 1")
            .arg(shellQuote(destDir + QStringLiteral("/.quillmarsh-XXXXXXXX"))),
        QStringLiteral("exec 9<\"$t\" && /usr/bin/flock -n 9 2>/dev/null"),
        QStringLiteral("if ! /bin/cp -dR --preserve=mode,timestamps -- %1 \"$t/new\"; then "
                       "/bin/rm -rf -- \"$t\"; exit 1; fi")
            .arg(shellQuote(source)),
        QStringLiteral("if [ -e %1 ] || [ -L %1 ]; then /bin/mv -T -- %1 \"$t/old\" || "
                       "{ /bin/rm -rf -- \"$t\"; exit 1; }; fi")
            .arg(shellQuote(dest)),
        QStringLiteral(
            "if ! /bin/mv -T -- \"$t/new\" %1; then "
            "if [ -e \"$t/old\" ] || [ -L \"$t/old\" ]; then /bin/mv -T -- \"$t/old\" %1; fi; "
            "/bin/rm -rf -- \"$t\"; exit 1; fi")
            .arg(shellQuote(dest)),
        QStringLiteral("/bin/rm -rf -- \"$t\""),
        QStringLiteral("exit 0"),
    };
    QString command;
    for (const QString &line : lines)
        command += line + u'\n';
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
