#include "connectivity.h"

#include <QFile>
#include <QHostAddress>

#include <optional>

namespace download::connectivity {

namespace {

// Reads the interface column of a /proc routing table; nullopt when it cannot be read.
std::optional<bool> tableHasNonLoopbackRoute(const char *path, int ifaceColumn, bool skipHeader)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = skipHeader ? 1 : 0; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        const QByteArray iface = ifaceColumn < 0 ? fields.last() : fields.value(ifaceColumn);
        if (!iface.isEmpty() && iface != "lo")
            return true;
    }
    return false;
}

} // namespace

bool isLoopbackHost(const QString &host)
{
    QString h = host.toLower();
    if (h.startsWith(u'[') && h.endsWith(u']'))
        h = h.mid(1, h.size() - 2);
    if (h == QLatin1String("localhost") || h.endsWith(QLatin1String(".localhost")))
        return true;
    const QHostAddress address(h);
    bool mapped = false; // ::ffff:127.0.0.1 is IPv4's loopback written as IPv6
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).isLoopback() : address.isLoopback();
}

bool hasNetworkRoute()
{
    const auto v4 = tableHasNonLoopbackRoute("/proc/net/route", 0, true);
    const auto v6 = tableHasNonLoopbackRoute("/proc/net/ipv6_route", -1, false);
    if (!v4 && !v6)
        return true;
    return v4.value_or(false) || v6.value_or(false);
}

} // namespace download::connectivity
