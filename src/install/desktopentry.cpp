#include "desktopentry.h"

#include "diag/itformat.h"
#include "diag/itlog.h"
#include "platform/uniquefd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringList>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace install {

namespace {

const QString kEntryName = QStringLiteral("quillmarsh.desktop");
constexpr qint64 kMaxDesktopFile = 64 * 1024;

// Backslash sequences of a desktop file string value.
QString unescapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == QLatin1Char('s'))
            out += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            out += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            out += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            out += QLatin1Char('\r');
        else
            out += next;
    }
    return out;
}

QString escapeValue(const QString &value)
{
    QString out = value;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    out.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    out.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return out;
}

// One Exec argument: always quoted, so spaces and the reserved characters need no thought;
// inside the quotes ", `, $ and \ take a backslash, and % is doubled so it is no field code.
QString quoteExecArgument(const QString &argument)
{
    QString out = QStringLiteral("\"");
    for (QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            out += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            out += QLatin1Char('%');
        out += c;
    }
    return out + QLatin1Char('"');
}

// Where the program word of an (unescaped) Exec value ends; -1 when there is none.
qsizetype endOfProgram(const QString &exec)
{
    if (exec.isEmpty() || exec[0] == QLatin1Char(' '))
        return -1;
    if (exec[0] != QLatin1Char('"'))
        return exec.indexOf(QLatin1Char(' ')) < 0 ? exec.size() : exec.indexOf(QLatin1Char(' '));
    for (qsizetype i = 1; i < exec.size(); ++i) {
        if (exec[i] == QLatin1Char('\\'))
            ++i;
        else if (exec[i] == QLatin1Char('"'))
            return i + 1;
    }
    return -1;
}

bool hasControlCharacter(const QString &text)
{
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

QString iconPath(const QString &bundle, const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String("..") ||
        name == QLatin1String("."))
        return {};
    for (const char *suffix : {".svg", ".png"}) {
        const QString path = bundle + QLatin1Char('/') + name + QLatin1String(suffix);
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

QString dataHome()
{
    // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
    const QString fromEnvironment = qEnvironmentVariable("XDG_DATA_HOME");
    if (QDir::isAbsolutePath(fromEnvironment))
        return fromEnvironment;
    return QDir::homePath() + QLatin1String("/.local/share");
}

// The bundle's own file is whatever the image put there: read without following a link, only
// a regular file, and never more than limit bytes (a link to /dev/zero or a FIFO is refused at
// once). Empty, with the whole file in *bytes, or what was wrong.
QString readSmallFile(const QString &path, qint64 limit, QByteArray *bytes)
{
    const platform::UniqueFd fd(::open(QFile::encodeName(path).constData(),
                                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st
    {
    };
    if (!fd.isValid() && errno == ENOENT)
        return ITFormat("the bundle has no %@", kEntryName);
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return ITFormat("%@ is not a regular file", path);
    if (st.st_size > limit)
        return ITFormat("%@ is larger than %lld bytes", path, limit);
    QFile file;
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return ITFormat("cannot read %@: %@", path, file.errorString());
    *bytes = file.read(limit + 1); // one byte more tells a file that grew past the limit
    if (file.error() != QFileDevice::NoError)
        return ITFormat("cannot read %@: %@", path, file.errorString());
    if (bytes->size() > limit)
        return ITFormat("%@ is larger than %lld bytes", path, limit);
    return {};
}

} // namespace

QString menuEntryText(const QByteArray &original, const QString &bundlePath, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return QString();
    };
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(original);
    if (utf8.hasError())
        return fail(QStringLiteral("the desktop file is not UTF-8"));
    const QString bundle = QDir::cleanPath(bundlePath);
    if (!QDir::isAbsolutePath(bundle) || hasControlCharacter(bundle))
        return fail(QStringLiteral("the bundle path \"%1\" cannot be named in a menu entry")
                        .arg(bundlePath));
    const QString appRun = bundle + QLatin1String("/AppRun");

    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.back().isEmpty())
        lines.removeLast();
    bool inMainGroup = false, sawMainGroup = false, sawExec = false;
    qsizetype execLine = -1, tryExecLine = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines[i];
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inMainGroup || line.startsWith(QLatin1Char('#')) || equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = unescapeValue(line.mid(equals + 1).trimmed());
        if (key == QLatin1String("Exec")) {
            const qsizetype end = endOfProgram(value);
            if (end < 0)
                return fail(QStringLiteral("the desktop file's Exec names no program"));
            lines[i] =
                QLatin1String("Exec=") + escapeValue(quoteExecArgument(appRun) + value.mid(end));
            sawExec = true;
            execLine = i;
        } else if (key == QLatin1String("TryExec")) {
            lines[i] = QLatin1String("TryExec=") + escapeValue(appRun);
            tryExecLine = i;
        } else if (key == QLatin1String("Icon")) {
            if (const QString icon = iconPath(bundle, value); !icon.isEmpty())
                lines[i] = QLatin1String("Icon=") + escapeValue(icon);
        }
    }
    if (!sawMainGroup)
        return fail(QStringLiteral("the desktop file has no [Desktop Entry] group"));
    if (!sawExec)
        return fail(QStringLiteral("the desktop file has no Exec key"));
    if (tryExecLine < 0)
        lines.insert(execLine + 1, QLatin1String("TryExec=") + escapeValue(appRun));
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString menuEntryPath()
{
    return dataHome() + QLatin1String("/applications/") + kEntryName;
}

bool writeMenuEntry(const QString &bundlePath)
{
    const QString bundle = QFileInfo(bundlePath).absoluteFilePath();
    const QString originalPath = bundle + QLatin1Char('/') + kEntryName;
    QByteArray original;
    if (const QString problem = readSmallFile(originalPath, kMaxDesktopFile, &original);
        !problem.isEmpty()) {
        ITLog("INST: no menu entry: %@", problem);
        return false;
    }
    QString error;
    const QString text = menuEntryText(original, bundle, &error);
    if (text.isEmpty()) {
        ITLog("INST: no menu entry: %@", error);
        return false;
    }

    const QString path = menuEntryPath();
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile entry(path);
    const QByteArray bytes = text.toUtf8();
    // The mode is set on the temporary file, so the entry never appears with another one.
    const bool written = entry.open(QIODevice::WriteOnly) && ::fchmod(entry.handle(), 0644) == 0 &&
                         entry.write(bytes) == bytes.size() && entry.commit();
    if (!written) {
        ITLog("INST: menu entry not written: %@: %@", path, entry.errorString());
        return false;
    }
    ITLog("INST: menu entry %@", path);
    return true;
}

} // namespace install
