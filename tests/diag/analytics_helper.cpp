// Sends one event to <base url> with a long timeout, then exits when stdin closes or gets a
// line, while the requests are still unanswered.
#include "diag/analytics.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    AnalyticsConfig config = ITDefaultAnalyticsConfig();
    config.baseUrl = QString::fromLocal8Bit(argv[1]);
    config.timeoutMs = 60000;
    ITSetAnalyticsConfig(config);
    ITTrackEvent(QStringLiteral("setup_run"));
    char line[16];
    (void)std::fgets(line, sizeof line, stdin);
    return 0;
}
