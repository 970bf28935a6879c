#include "activityhold.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>

namespace platform {

namespace {
constexpr int kCallTimeoutMs = 2000; // the call runs on the GUI thread: never wait long
}

ActivityHold::ActivityHold(const QString &reason)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        m_error = QStringLiteral("no system bus");
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Quillmarsh Installer") << reason
         << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        m_error = reply.errorMessage().isEmpty() ? QStringLiteral("no answer from logind")
                                                 : reply.errorMessage();
        return;
    }
    const auto fd = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    // The reply's descriptor closes with the reply; the inhibitor lasts as long as our copy.
    if (fd.isValid())
        m_fd.reset(::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0));
    if (!m_fd.isValid())
        m_error = QStringLiteral("logind returned no descriptor");
}

ActivityHold::~ActivityHold() = default;

} // namespace platform
