#include "singleinstance.h"

#include "paths.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kConnectTimeoutMs = 1000;
// A Unix socket path holds at most 107 bytes; the name and ".lock" go after the folder.
constexpr qsizetype kMaxSocketPath = 100;
const QByteArray kActivateMessage("activate\n");

// Nobody but the user can put a socket here: a folder of the user's own that neither group nor
// others may write. A link to such a folder is as good as the folder.
bool isPrivateFolder(const QString &dir)
{
    struct stat st
    {
    };
    return !dir.isEmpty() && ::stat(QFile::encodeName(dir).constData(), &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

// A folder that only the user can write, for a socket path short enough: the runtime folder,
// the cache folder, else one of the user's own in the temporary folder, made 0700 here or
// found so (never one another user made first). Empty when there is none. A run started
// without XDG_RUNTIME_DIR (cron, su, some terminals) looks where the login session's runs
// listen, the user's folder in /run/user, so that the two still find each other.
QString socketFolder(const QString &name)
{
    const auto fits = [&name](const QString &dir) {
        return QFile::encodeName(dir + u'/' + name).size() < kMaxSocketPath;
    };
    QString runtime = xdgDirectory(XdgDirectory::Runtime);
    if (runtime.isEmpty())
        runtime = QStringLiteral("/run/user/%1").arg(::geteuid());
    if (isPrivateFolder(runtime) && fits(runtime))
        return runtime;
    const QString cache = xdgDirectory(XdgDirectory::Cache);
    if (!cache.isEmpty() && QDir().mkpath(cache) && isPrivateFolder(cache) && fits(cache))
        return cache;
    const QString dir = QDir::tempPath() + QStringLiteral("/quillmarsh-%1").arg(::geteuid());
    const QByteArray native = QFile::encodeName(dir);
    struct stat st
    {
    };
    // lstat: a link there may lead anywhere, whoever owns what it leads to.
    if (fits(dir) && (::mkdir(native.constData(), 0700) == 0 || errno == EEXIST) &&
        ::lstat(native.constData(), &st) == 0 && !S_ISLNK(st.st_mode) && isPrivateFolder(dir))
        return dir;
    return {};
}

} // namespace

SingleInstance::SingleInstance(const QString &appId, QObject *parent)
    : QObject(parent), m_name(socketName(appId))
{}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketName(const QString &appId)
{
    // Not the private folder, which the setup flow empties at start.
    const QString name = QStringLiteral("%1-%2").arg(appId).arg(::geteuid());
    const QString dir = socketFolder(name);
    return dir.isEmpty() ? QString() : dir + u'/' + name;
}

void SingleInstance::refuse(const QString &why)
{
    if (onRefused)
        onRefused(why);
}

// The peer's user, as the kernel recorded it when the peer connected or began to listen.
bool SingleInstance::sameUser(qintptr socket, const QString &what)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(int(socket), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        refuse(QStringLiteral("%1 ignored: its user cannot be told (%2)")
                   .arg(what, qt_error_string(errno)));
        return false;
    }
    if (peer.uid == ::geteuid())
        return true;
    refuse(QStringLiteral("%1 ignored: it belongs to uid %2, not to uid %3")
               .arg(what)
               .arg(peer.uid)
               .arg(::geteuid()));
    return false;
}

bool SingleInstance::askRunning()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    if (!sameUser(socket.socketDescriptor(), QStringLiteral("the socket %1").arg(m_name)))
        return false;
    socket.write(kActivateMessage);
    socket.waitForBytesWritten(kConnectTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(kConnectTimeoutMs);
    return true;
}

bool SingleInstance::anotherInstanceActivated()
{
    if (m_name.isEmpty()) {
        refuse(QStringLiteral("no folder of the user's own for the socket, running without "
                              "the one-installer rule"));
        return false;
    }
    // The lock makes "nobody answers, so take over the name" one step for two processes
    // started at the same moment; a lock left by a dead process is stale and taken over.
    QLockFile lock(m_name + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    const bool locked = lock.tryLock(3 * kConnectTimeoutMs);

    if (askRunning())
        return true;

    // Nobody of ours answered: whatever socket file is there was left by a process that is gone.
    QLocalServer::removeServer(m_name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server->listen(m_name)) {
        connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *client = m_server->nextPendingConnection()) {
                if (!sameUser(client->socketDescriptor(),
                              QStringLiteral("an activation request"))) {
                    client->abort();
                    client->deleteLater();
                    continue;
                }
                connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
                connect(client, &QLocalSocket::readyRead, this, [this, client] {
                    if (!client->readAll().contains(kActivateMessage.trimmed()))
                        return;
                    if (onActivate)
                        onActivate();
                });
            }
        });
    }
    if (locked)
        lock.unlock();
    return false;
}

} // namespace platform
