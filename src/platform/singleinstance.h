#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

namespace platform {

// One running installer per user. The first process listens on a local socket whose name holds
// the application id and the user id; a later process connects, asks the first to come to the
// front and leaves. A socket left behind by a crashed process is removed and taken over.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString &appId, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Full socket path (or name) used for appId by the current user.
    static QString socketName(const QString &appId);

    // True when another instance is running: it has been asked to activate, and this process
    // should end. False when this process is now the one instance (it listens from here on).
    bool anotherInstanceActivated();

    // Called in the listening instance when a later process asks it to come to the front.
    std::function<void()> onActivate;

private:
    bool askRunning();

    QString m_name;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace platform
