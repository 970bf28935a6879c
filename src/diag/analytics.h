#pragma once

#include <QString>

// Reports one usage event to the analytics service, fire-and-forget: two POSTs (collection and
// validation endpoint) on the analytics network thread. Never blocks, never fails; without a
// poster it only logs that nothing was sent.
void ITTrackEvent(const QString &name, const QString &reason = QString());

// Where and how events are sent. The shipped program uses the compiled-in defaults; tests point
// it at a local server, shorten the timeout or clear the secret.
struct AnalyticsConfig
{
    QString baseUrl; // scheme, host, optional port; no trailing slash
    QString measurementId;
    QString apiSecret;    // empty: events are logged as skipped and not sent
    int timeoutMs = 5000; // per request
};

AnalyticsConfig ITDefaultAnalyticsConfig();
void ITSetAnalyticsConfig(const AnalyticsConfig &config); // tests only

namespace diag {

class AnalyticsPoster;

// Events go to poster from now on (null: to none); returns the one they went to before. Once
// this returns, no post is on its way to the old one.
AnalyticsPoster *setAnalyticsPoster(AnalyticsPoster *poster);

} // namespace diag
