#include "singleinstance.h"

#include "paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

namespace platform {

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr qsizetype kMaxSocketPath = 100;
const QByteArray kActivateMessage("activate\n");

} // namespace

SingleInstance::SingleInstance(const QString &appId, QObject *parent)
    : QObject(parent), m_name(socketName(appId))
{}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketName(const QString &appId)
{
    const QString name = QStringLiteral("%1-%2").arg(appId).arg(::getuid());
    // A folder of the user's own, so that instances of other users (and tests with their own
    // HOME) never meet; not the private folder, which the setup flow empties at start.
    QString dir = xdgDirectory(XdgDirectory::Runtime);
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        dir = xdgDirectory(XdgDirectory::Cache);
        if (dir.isEmpty() || !QDir().mkpath(dir))
            return name;
    }
    const QString path = dir + u'/' + name;
    // A Unix socket path holds at most 107 bytes; a deep home folder gets the plain name, which
    // Qt places in the temporary folder.
    return QFile::encodeName(path).size() < kMaxSocketPath ? path : name;
}

bool SingleInstance::askRunning()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(kConnectTimeoutMs))
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
    // The lock makes "nobody answers, so take over the name" one step for two processes
    // started at the same moment; a lock left by a dead process is stale and taken over.
    const QString lockPath = m_name.contains(u'/') ? m_name : QDir::tempPath() + u'/' + m_name;
    QLockFile lock(lockPath + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    const bool locked = lock.tryLock(3 * kConnectTimeoutMs);

    if (askRunning())
        return true;

    // Nobody answered: whatever socket file is there was left by a process that is gone.
    QLocalServer::removeServer(m_name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_server->listen(m_name)) {
        connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *client = m_server->nextPendingConnection()) {
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
