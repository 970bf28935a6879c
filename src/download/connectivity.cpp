#include "connectivity.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>

namespace connectivity {

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
    const QByteArray latin = h.toLatin1();
    in_addr v4{};
    if (::inet_pton(AF_INET, latin.constData(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, latin.constData(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool hasNetworkRoute()
{
    const auto v4 = tableHasNonLoopbackRoute("/proc/net/route", 0, true);
    const auto v6 = tableHasNonLoopbackRoute("/proc/net/ipv6_route", -1, false);
    if (!v4 && !v6)
        return true;
    return v4.value_or(false) || v6.value_or(false);
}

} // namespace connectivity
