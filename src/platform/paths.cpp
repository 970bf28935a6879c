#include "paths.h"

#include "config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

QString s_resourceDirOverride;

QString envPath(const char *name)
{
    const QString value = qEnvironmentVariable(name);
    return QDir::isAbsolutePath(value) ? value : QString();
}

// Usable means: a directory we own that nobody else can enter.
bool isPrivateDir(const QString &path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool makePrivateDir(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return isPrivateDir(path);
}

} // namespace

QString privateDirectory()
{
    const QString runtime = envPath("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateDir(runtime)) {
        const QString dir = runtime + QStringLiteral("/quillmarsh-installer");
        if (makePrivateDir(dir))
            return dir;
    }
    QString cache = envPath("XDG_CACHE_HOME");
    if (cache.isEmpty())
        cache = QDir::homePath() + QStringLiteral("/.cache");
    QDir().mkpath(cache);
    const QString dir = cache + QStringLiteral("/quillmarsh-installer");
    return makePrivateDir(dir) ? dir : QString();
}

QString logsDirectory()
{
    QString state = envPath("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Logs");
}

QString programDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget().section(u'/', 0, -2);
}

QString resourceDirectory()
{
    if (!s_resourceDirOverride.isEmpty())
        return s_resourceDirOverride;
    return programDirectory() + u'/' + QStringLiteral(QUILLMARSH_RESOURCE_DIR_NAME);
}

void setResourceDirectory(const QString &dir)
{
    s_resourceDirOverride = dir;
}

QString defaultInstallFolder()
{
    return QDir::homePath() + QStringLiteral("/Applications");
}

} // namespace platform
