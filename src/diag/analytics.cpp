#include "analytics.h"

#include "analyticsposter.h"
#include "config.h"
#include "itlog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUuid>

#include <mutex>
#include <utility>

namespace {

// Taken to hand a post over, so the poster is never swapped while a post is on its way to it.
std::mutex gPosterMutex;
diag::AnalyticsPoster *gPoster = nullptr;

std::mutex gConfigMutex;
AnalyticsConfig &config()
{
    static AnalyticsConfig c = ITDefaultAnalyticsConfig();
    return c;
}

QString ITClientId()
{
    static const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return id;
}

void ITPost(const QString &url, const QByteArray &body, const QString &label, const QString &name,
            bool validation, int timeoutMs)
{
    diag::PostRequest request{url.toStdString(), body, label, name, validation, timeoutMs};
    std::lock_guard lock(gPosterMutex);
    if (gPoster)
        gPoster->post(std::move(request));
    else
        ITLog("GA: %@ %@ ERROR %@", name, label, "network thread not available");
}

} // namespace

AnalyticsConfig ITDefaultAnalyticsConfig()
{
    return AnalyticsConfig{QStringLiteral(QUILLMARSH_ANALYTICS_BASE_URL),
                           QStringLiteral("G-7QZ2R8WK3M"), QStringLiteral("Xq4-Tr7pLw2_VbN9kH0sJe"),
                           5000};
}

void ITSetAnalyticsConfig(const AnalyticsConfig &c)
{
    std::lock_guard lock(gConfigMutex);
    config() = c;
}

void ITTrackEvent(const QString &name, const QString &reason)
{
    AnalyticsConfig c;
    {
        std::lock_guard lock(gConfigMutex);
        c = config();
    }
    if (c.apiSecret.isEmpty()) {
        ITLog("GA: SKIPPED %@ - API_SECRET not configured", name);
        return;
    }

    QJsonObject params;
    if (!reason.isEmpty())
        params.insert(QStringLiteral("reason"), reason);
    const QJsonObject event{{QStringLiteral("name"), name}, {QStringLiteral("params"), params}};
    const QJsonObject root{{QStringLiteral("client_id"), ITClientId()},
                           {QStringLiteral("events"), QJsonArray{event}}};
    const QByteArray body = QJsonDocument(root).toJson(QJsonDocument::Compact);

    ITLog("GA: event %@ reason=\"%@\"", name, reason);

    const QString query = QStringLiteral("?measurement_id=") +
                          QString::fromLatin1(QUrl::toPercentEncoding(c.measurementId)) +
                          QStringLiteral("&api_secret=") +
                          QString::fromLatin1(QUrl::toPercentEncoding(c.apiSecret));
    ITPost(c.baseUrl + QStringLiteral("/mp/collect") + query, body, QStringLiteral("mp/collect"),
           name, false, c.timeoutMs);
    ITPost(c.baseUrl + QStringLiteral("/debug/mp/collect") + query, body,
           QStringLiteral("debug/mp/collect"), name, true, c.timeoutMs);
}

namespace diag {

AnalyticsPoster *setAnalyticsPoster(AnalyticsPoster *poster)
{
    std::lock_guard lock(gPosterMutex);
    return std::exchange(gPoster, poster);
}

} // namespace diag
