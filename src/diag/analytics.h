#pragma once

#include <QDeadlineTimer>
#include <QString>

// Reports one usage event to the analytics service, fire-and-forget: two POSTs (collection and
// validation endpoint) on the analytics network thread. Never blocks, never fails.
void ITTrackEvent(const QString &name, const QString &reason = QString());

// At exit: lets the posts already made finish until deadline, then abandons whatever is left
// and returns once the network thread has ended (or the deadline has passed). Later events are
// not sent. Runs by itself at process exit when the program has not called it.
void ITAnalyticsFinish(QDeadlineTimer deadline = QDeadlineTimer(1000));

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
