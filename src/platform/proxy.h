#pragma once

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

namespace platform {

// One way to reach a host: directly, or through one proxy.
struct ProxyRoute
{
    QString url;      // scheme://host:port, never with credentials; empty: directly
    QString user;     // percent-decoded, empty when none
    QString password; // percent-decoded; kept out of every log line and message
    bool isDirect() const { return url.isEmpty(); }
    bool operator==(const ProxyRoute &) const = default;
};

// Where a request's proxy was found, in the order they are asked.
enum class ProxySource { Environment, Portal, KdeSettings, KdeResolver, None };

// How one request goes out: its routes are tried in order until one gets an answer from the
// server. Never empty.
struct ProxyDecision
{
    ProxySource source = ProxySource::None;
    QList<ProxyRoute> routes{ProxyRoute{}};
    QString noProxy; // from the environment: hosts a redirect may reach directly
    // "through http://proxy:3128, then directly (from the desktop portal)"; no credentials.
    QString describe() const;
};

// A proxy URL as desktops and the environment write it: a missing scheme is http, user and
// password are percent-decoded. fillPort gives a missing port its scheme's (80, 443, 1080);
// without it the port stays missing, as an environment variable leaves it to libcurl.
// "direct://" is a direct route; an unusable text or scheme is none.
std::optional<ProxyRoute> parseProxyUrl(const QString &text, bool fillPort = true);
// A list as the desktop portal (GLib's resolver) and KDE's resolver answer it, in order.
// socks and socks5 become socks5h, since these resolvers leave host names to the proxy.
QList<ProxyRoute> parseProxyList(const QStringList &answer);

// Whether host is named by a no_proxy-style list: "*", a name or domain suffix (a leading "."
// or "*." ignored), an IP address or a network in CIDR notation.
bool hostListed(const QString &host, const QStringList &entries);

// The proxy libcurl would take from the environment for url (https_proxy or HTTPS_PROXY,
// http_proxy in lower case only, then all_proxy or ALL_PROXY; no_proxy or NO_PROXY), or none
// when no variable concerns it. A host named in no_proxy goes directly, by the same choice.
std::optional<ProxyDecision> environmentProxy(const QUrl &url, const QProcessEnvironment &env);

// The [Proxy Settings] group of KDE's kioslaverc.
struct KdeProxySettings
{
    int type = 0; // 0 none, 1 manual, 2 PAC file, 3 WPAD, 4 environment variables
    QString http, https, socks;
    QStringList noProxyFor;
    bool reversed = false; // NoProxyFor lists the only hosts that use the proxy
};
KdeProxySettings parseKioslaverc(const QByteArray &text);
// The routes of manual settings (type 1) for url: its scheme's proxy, then the SOCKS proxy.
QList<ProxyRoute> kdeManualRoutes(const QUrl &url, const KdeProxySettings &settings);

// The decision for a request to url: the environment, the desktop portal on the session bus,
// KDE's settings (and its resolver for PAC and WPAD), else directly. The whole lookup on the
// bus, connecting included, is bounded to about a second; a bus or a desktop service that does
// not answer by then counts as absent. Once stop says so, the lookup gives up within a few
// milliseconds, as if nothing answered. Thread-safe.
ProxyDecision decideProxy(const QUrl &url, const std::function<bool()> &stop = {});

// "host:port" of url (the port when it has one), for log lines.
QString hostAndPort(const QUrl &url);

// True the first time a host's decision is described this way in this run, so each host's
// way out is logged once, and again only when it changes. Thread-safe.
bool firstMention(const QString &host, const QString &description);

} // namespace platform
