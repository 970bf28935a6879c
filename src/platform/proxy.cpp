#include "proxy.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <mutex>

namespace platform {

namespace {

// Long enough for a portal that evaluates a PAC file, short enough not to hold Install up.
constexpr int kBusTimeoutMs = 1000;

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

// A session bus this process may use; without one, libdbus would try to start one itself.
bool haveSessionBus()
{
    if (!QCoreApplication::instance())
        return false;
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFile::exists(runtime + QStringLiteral("/bus"));
}

std::optional<QStringList> callBus(const QString &service, const QString &path,
                                   const QString &interface, const QString &method,
                                   const QString &argument)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call << argument;
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, kBusTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return std::nullopt;
    return reply.arguments().constFirst().toStringList();
}

// Asked with the same bound, where QDBusConnectionInterface would wait Qt's 25 s.
bool hasOwner(const QString &name)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << name;
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(call, QDBus::Block, kBusTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

std::optional<QList<ProxyRoute>> askPortal(const QUrl &url)
{
    const std::optional<QStringList> answer =
        callBus(QStringLiteral("org.freedesktop.portal.Desktop"),
                QStringLiteral("/org/freedesktop/portal/desktop"),
                QStringLiteral("org.freedesktop.portal.ProxyResolver"), QStringLiteral("Lookup"),
                url.toString(QUrl::FullyEncoded));
    if (!answer || answer->isEmpty())
        return std::nullopt;
    return parseProxyList(*answer);
}

// KDE's own PAC and WPAD resolver runs in kded; it is asked only when already running, as
// starting it is not ours to do.
std::optional<QList<ProxyRoute>> askKde(const QUrl &url)
{
    for (const char *service : {"org.kde.kded6", "org.kde.kded5"}) {
        if (!hasOwner(QString::fromLatin1(service)))
            continue;
        std::optional<QStringList> answer =
            callBus(QString::fromLatin1(service), QStringLiteral("/modules/proxyscout"),
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

ProxyDecision decideProxy(const QUrl &url)
{
    if (std::optional<ProxyDecision> env = environmentProxy(url, proxyEnvironment()))
        return *env;
    const bool bus = haveSessionBus();
    ProxyDecision decision;
    if (std::optional<QList<ProxyRoute>> routes = bus ? askPortal(url) : std::nullopt) {
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
        if (std::optional<QList<ProxyRoute>> routes = bus ? askKde(url) : std::nullopt) {
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
