#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

namespace platform {

// One running installer per user. The first process listens on a local socket whose name holds
// the application id and the user id, in a folder only the user can write; a later process
// connects, asks the first to come to the front and leaves. A socket left behind by a crashed
// process is removed and taken over. Only a process of the same user counts as another
// instance, in either direction: another user's socket or request is ignored, never obeyed.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString &appId, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Full socket path used for appId by the current user; empty when no folder of the user's
    // own can hold it, and then there is no single-instance rule.
    static QString socketName(const QString &appId);

    // True when another instance is running: it has been asked to activate, and this process
    // should end. False when this process is now the one instance (it listens from here on).
    bool anotherInstanceActivated();

    // Called in the listening instance when a later process asks it to come to the front.
    std::function<void()> onActivate;
    // Called with what was refused and why (another user's socket or request, no folder).
    std::function<void(const QString &why)> onRefused;

private:
    bool askRunning();
    bool sameUser(qintptr socket, const QString &what);
    void refuse(const QString &why);

    QString m_name;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace platform
