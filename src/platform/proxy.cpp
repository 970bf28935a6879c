#include "proxy.h"

#include "paths.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QHash>
#include <QScopeGuard>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

// Long enough for a portal that evaluates a PAC file, short enough not to hold Install up.
constexpr int kBusTimeoutMs = 1000;
// How soon a lookup notices it is to stop.
constexpr int kStopPollMs = 20;

int defaultPort(const QString &scheme)
{
    if (scheme == u"http")
        return 80;
    if (scheme == u"https")
        return 443;
    return 1080;
}

QString sourceName(ProxySource source)
{
    switch (source) {
    case ProxySource::Environment:
        return QStringLiteral("from the environment");
    case ProxySource::Portal:
        return QStringLiteral("from the desktop portal");
    case ProxySource::KdeSettings:
        return QStringLiteral("from KDE's settings");
    case ProxySource::KdeResolver:
        return QStringLiteral("from KDE's proxy resolver");
    case ProxySource::None:
        break;
    }
    return QStringLiteral("no proxy set");
}

// The session bus's address, where this process may use one; libdbus would otherwise try to
// start a bus itself.
QString sessionBusAddress()
{
    if (!QCoreApplication::instance())
        return {};
    if (const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        !address.isEmpty())
        return address;
    const QString runtime = xdgDirectory(XdgDirectory::Runtime);
    const QString bus = runtime + QStringLiteral("/bus");
    return !runtime.isEmpty() && QFile::exists(bus) ? QStringLiteral("unix:path=") + bus
                                                    : QString();
}

struct UnixSocket
{
    sockaddr_un address{};
    socklen_t length = 0; // an abstract name is as long as it says, with no NUL after it
};

// The socket of a unix: address ("unix:path=..." or "unix:abstract=..."), the first listed.
std::optional<UnixSocket> unixSocket(const QString &address)
{
    for (const QString &entry : address.split(u';', Qt::SkipEmptyParts)) {
        if (!entry.startsWith(u"unix:"))
            continue;
        for (const QString &pair : entry.mid(5).split(u',')) {
            const QString key = pair.section(u'=', 0, 0);
            if (key != u"path" && key != u"abstract")
                continue;
            const QByteArray name = QByteArray::fromPercentEncoding(pair.section(u'=', 1).toUtf8());
            UnixSocket socket;
            sockaddr_un &sa = socket.address;
            sa.sun_family = AF_UNIX;
            const size_t offset = key == u"abstract" ? 1 : 0; // abstract: a leading NUL
            if (name.isEmpty() || offset + size_t(name.size()) >= sizeof sa.sun_path)
                return std::nullopt;
            std::memcpy(sa.sun_path + offset, name.constData(), size_t(name.size()));
            socket.length =
                socklen_t(offsetof(sockaddr_un, sun_path) + offset + size_t(name.size()));
            return socket;
        }
    }
    return std::nullopt;
}

// Whether a bus answers at address before the deadline: asked for its ways of authenticating,
// a bus names them at once. Qt's own connection would wait 25 s on a socket that never speaks,
// and could not be given up. Only unix sockets are asked; a bus elsewhere counts as absent.
bool busAnswers(const QString &address, const QDeadlineTimer &deadline,
                const std::function<bool()> &stop)
{
    const std::optional<UnixSocket> sa = unixSocket(address);
    if (!sa)
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto closer = qScopeGuard([fd] { ::close(fd); });
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&sa->address), sa->length) != 0)
        return false; // a unix socket connects at once or not at all
    static constexpr char kAsk[] = "\0AUTH\r\n";
    if (::send(fd, kAsk, sizeof kAsk - 1, MSG_NOSIGNAL) != ssize_t(sizeof kAsk - 1))
        return false;
    QByteArray answer;
    while (!answer.contains("\r\n") && !deadline.hasExpired() && !(stop && stop())) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(qMin<qint64>(deadline.remainingTime(), kStopPollMs))) < 0 &&
            errno != EINTR)
            return false;
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            answer.append(buffer, n);
    }
    return answer.contains("\r\n");
}

// The bus lookups of one request share a deadline and end at once when stop is set.
class BusLookup
{
public:
    explicit BusLookup(const std::function<bool()> &stop) : m_deadline(kBusTimeoutMs), m_stop(stop)
    {
        const QString address = sessionBusAddress();
        if (address.isEmpty() || !busAnswered(address))
            return;
        // One connection per address for the run, kept apart from whatever else uses the bus.
        m_bus =
            QDBusConnection::connectToBus(address, QStringLiteral("quillmarsh-proxy ") + address);
    }

    bool present() const { return m_bus && m_bus->isConnected(); }

    std::optional<QStringList> call(const QString &service, const QString &path,
                                    const QString &interface, const QString &method,
                                    const QVariant &argument) const
    {
        const QDBusMessage reply = callMessage(service, path, interface, method, argument);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
            return std::nullopt;
        return reply.arguments().constFirst().toStringList();
    }

    // Asked with the same bound, where QDBusConnectionInterface would wait Qt's 25 s.
    bool hasOwner(const QString &name) const
    {
        const QDBusMessage reply = callMessage(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"), name);
        return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
    }

private:
    bool stopped() const { return m_deadline.hasExpired() || (m_stop && m_stop()); }

    // Whether the bus at address answered; asked once a run, as a bus that does not answer
    // would cost every request its second again.
    bool busAnswered(const QString &address) const
    {
        static std::mutex mutex;
        static QHash<QString, bool> known;
        {
            std::lock_guard lock(mutex);
            if (const auto it = known.constFind(address); it != known.cend())
                return *it;
        }
        const bool answers = busAnswers(address, m_deadline, m_stop);
        if (!m_stop || !m_stop()) { // a stopped ask tells nothing of the bus
            std::lock_guard lock(mutex);
            known.insert(address, answers);
        }
        return answers;
    }

    QDBusMessage callMessage(const QString &service, const QString &path, const QString &interface,
                             const QString &method, const QVariant &argument) const
    {
        if (!present() || stopped())
            return {};
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call << argument;
        // Replies are taken in by Qt's own bus thread; this one looks now and then whether to
        // give up, which a blocking call could not.
        QDBusPendingCall pending =
            m_bus->asyncCall(call, int(qMax<qint64>(1, m_deadline.remainingTime())));
        while (!pending.isFinished() && !stopped())
            std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs / 2));
        return pending.isFinished() ? pending.reply() : QDBusMessage();
    }

    QDeadlineTimer m_deadline;
    const std::function<bool()> &m_stop;
    std::optional<QDBusConnection> m_bus;
};

std::optional<QList<ProxyRoute>> askPortal(const BusLookup &bus, const QUrl &url)
{
    const std::optional<QStringList> answer =
        bus.call(QStringLiteral("org.freedesktop.portal.Desktop"),
                 QStringLiteral("/org/freedesktop/portal/desktop"),
                 QStringLiteral("org.freedesktop.portal.ProxyResolver"), QStringLiteral("Lookup"),
                 url.toString(QUrl::FullyEncoded));
    if (!answer || answer->isEmpty())
        return std::nullopt;
    return parseProxyList(*answer);
}

// KDE's own PAC and WPAD resolver runs in kded; it is asked only when already running, as
// starting it is not ours to do.
std::optional<QList<ProxyRoute>> askKde(const BusLookup &bus, const QUrl &url)
{
    for (const char *service : {"org.kde.kded6", "org.kde.kded5"}) {
        if (!bus.hasOwner(QString::fromLatin1(service)))
            continue;
        std::optional<QStringList> answer =
            bus.call(QString::fromLatin1(service), QStringLiteral("/modules/proxyscout"),
                     QStringLiteral("org.kde.KPAC.ProxyScout"), QStringLiteral("proxiesForUrl"),
                     url.toString(QUrl::FullyEncoded));
        if (!answer || answer->isEmpty())
            return std::nullopt;
        for (QString &entry : *answer)
            if (entry.compare(u"DIRECT", Qt::CaseInsensitive) == 0)
                entry = QStringLiteral("direct://");
        return parseProxyList(*answer);
    }
    return std::nullopt;
}

QProcessEnvironment proxyEnvironment()
{
    QProcessEnvironment env;
    for (const char *name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"})
        if (qEnvironmentVariableIsSet(name))
            env.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
    return env;
}

// KDE writes "http://host 8080" as well as "host:8080".
std::optional<ProxyRoute> parseKdeProxy(QString text)
{
    text = text.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    const qsizetype space = text.lastIndexOf(u' ');
    if (space > 0)
        text = text.left(space).trimmed() + u':' + text.mid(space + 1);
    const QList<ProxyRoute> routes = parseProxyList({text});
    if (routes.isEmpty() || routes.constFirst().isDirect())
        return std::nullopt;
    return routes.constFirst();
}

} // namespace

QString ProxyDecision::describe() const
{
    QStringList ways;
    for (const ProxyRoute &r : routes)
        ways << (r.isDirect() ? QStringLiteral("directly") : QStringLiteral("through ") + r.url);
    return ways.join(QStringLiteral(", then ")) + QStringLiteral(" (") + sourceName(source) + u')';
}

std::optional<ProxyRoute> parseProxyUrl(const QString &text, bool fillPort)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(u"direct://", Qt::CaseInsensitive) == 0)
        return ProxyRoute{};
    QUrl url(trimmed.contains(QStringLiteral("://")) ? trimmed
                                                     : QStringLiteral("http://") + trimmed,
             QUrl::StrictMode);
    static const QStringList schemes{"http",    "https",  "socks",  "socks4",
                                     "socks4a", "socks5", "socks5h"};
    if (!url.isValid() || url.host().isEmpty() || !schemes.contains(url.scheme()) ||
        !(url.path().isEmpty() || url.path() == u"/") || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    ProxyRoute route;
    route.user = url.userName(QUrl::FullyDecoded);
    route.password = url.password(QUrl::FullyDecoded);
    QUrl bare;
    bare.setScheme(url.scheme());
    bare.setHost(url.host());
    bare.setPort(fillPort && url.port() < 0 ? defaultPort(url.scheme()) : url.port());
    route.url = bare.toString(QUrl::FullyEncoded);
    return route;
}

QList<ProxyRoute> parseProxyList(const QStringList &answer)
{
    QList<ProxyRoute> routes;
    for (const QString &entry : answer) {
        std::optional<ProxyRoute> route = parseProxyUrl(entry);
        if (!route)
            continue;
        for (const char *remote : {"socks://", "socks5://"})
            if (route->url.startsWith(QLatin1String(remote)))
                route->url.replace(0, qsizetype(qstrlen(remote)), QStringLiteral("socks5h://"));
        routes << *route;
    }
    return routes;
}

bool hostListed(const QString &host, const QStringList &entries)
{
    const QString name = host.toLower();
    const QHostAddress address(name);
    for (QString entry : entries) {
        entry = entry.trimmed().toLower();
        if (entry == u"*")
            return true;
        if (!address.isNull()) {
            const auto subnet = QHostAddress::parseSubnet(entry);
            if (QHostAddress(entry) == address ||
                (entry.contains(u'/') && subnet.second >= 0 && address.isInSubnet(subnet)))
                return true;
            continue;
        }
        if (entry.startsWith(u"*."))
            entry.remove(0, 1);
        if (entry.startsWith(u'.'))
            entry.remove(0, 1);
        if (!entry.isEmpty() && (name == entry || name.endsWith(u'.' + entry)))
            return true;
    }
    return false;
}

std::optional<ProxyDecision> environmentProxy(const QUrl &url, const QProcessEnvironment &env)
{
    const auto first = [&env](std::initializer_list<const char *> names) {
        for (const char *name : names) {
            const QString value = env.value(QString::fromLatin1(name)).trimmed();
            if (!value.isEmpty())
                return value;
        }
        return QString();
    };
    // As libcurl: HTTP_PROXY in upper case is never read, since a CGI program's environment
    // carries the request's own "Proxy:" header under that name.
    QString value =
        url.scheme() == u"https" ? first({"https_proxy", "HTTPS_PROXY"}) : first({"http_proxy"});
    if (value.isEmpty())
        value = first({"all_proxy", "ALL_PROXY"});
    if (value.isEmpty())
        return std::nullopt;
    ProxyDecision decision;
    decision.source = ProxySource::Environment;
    decision.noProxy = first({"no_proxy", "NO_PROXY"});
    if (hostListed(url.host(), decision.noProxy.split(u',', Qt::SkipEmptyParts)))
        return decision;
    const std::optional<ProxyRoute> route = parseProxyUrl(value, false);
    if (route)
        decision.routes = {*route};
    return decision;
}

KdeProxySettings parseKioslaverc(const QByteArray &text)
{
    KdeProxySettings s;
    bool inGroup = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inGroup = line == "[Proxy Settings]";
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (!inGroup || eq <= 0)
            continue;
        QByteArray key = line.left(eq).trimmed();
        if (const qsizetype flags = key.indexOf("[$"); flags > 0)
            key.truncate(flags); // [$e], [$i]: how KDE expands or locks the entry
        const QString value = QString::fromUtf8(line.mid(eq + 1)).trimmed();
        if (key == "ProxyType")
            s.type = value.toInt();
        else if (key == "httpProxy")
            s.http = value;
        else if (key == "httpsProxy")
            s.https = value;
        else if (key == "socksProxy")
            s.socks = value;
        else if (key == "NoProxyFor")
            s.noProxyFor =
                value.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
        else if (key == "ReversedException")
            s.reversed = value == u"true" || value == u"1";
    }
    return s;
}

QList<ProxyRoute> kdeManualRoutes(const QUrl &url, const KdeProxySettings &settings)
{
    if (hostListed(url.host(), settings.noProxyFor) != settings.reversed)
        return {ProxyRoute{}};
    QList<ProxyRoute> routes;
    for (const QString &text :
         {url.scheme() == u"https" ? settings.https : settings.http, settings.socks})
        if (const std::optional<ProxyRoute> route = parseKdeProxy(text))
            routes << *route;
    if (routes.isEmpty())
        routes << ProxyRoute{};
    return routes;
}

ProxyDecision decideProxy(const QUrl &url, const std::function<bool()> &stop)
{
    if (std::optional<ProxyDecision> env = environmentProxy(url, proxyEnvironment()))
        return *env;
    const BusLookup bus(stop);
    ProxyDecision decision;
    if (std::optional<QList<ProxyRoute>> routes = askPortal(bus, url)) {
        decision.source = ProxySource::Portal;
        if (!routes->isEmpty())
            decision.routes = *routes;
        return decision;
    }
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
               QStringLiteral("/kioslaverc"));
    if (!file.open(QIODevice::ReadOnly))
        return decision;
    const KdeProxySettings kde = parseKioslaverc(file.read(1 << 20));
    if (kde.type == 1) {
        decision.source = ProxySource::KdeSettings;
        decision.routes = kdeManualRoutes(url, kde);
    } else if (kde.type == 2 || kde.type == 3) {
        if (std::optional<QList<ProxyRoute>> routes = askKde(bus, url)) {
            decision.source = ProxySource::KdeResolver;
            if (!routes->isEmpty())
                decision.routes = *routes;
        }
    }
    return decision;
}

QString hostAndPort(const QUrl &url)
{
    QUrl bare;
    bare.setHost(url.host());
    bare.setPort(url.port());
    return bare.toString(QUrl::FullyEncoded).mid(2); // without the leading "//"
}

bool firstMention(const QString &host, const QString &description)
{
    static std::mutex mutex;
    static QSet<QString> said;
    std::lock_guard lock(mutex);
    const QString key = host + u'\n' + description;
    if (said.contains(key))
        return false;
    said.insert(key);
    return true;
}

} // namespace platform
