// One run of the installer as a process of its own, for what happens at its exit:
// "diag_helper <lines> <padding> <drainMs> [<analytics base url>]" logs "TEST: <i> <padding>"
// lines, posts one event with a 60 s timeout, says "queued" and, once its stdin closes, gives
// the posts up to a second ("analytics finished") and exits through the bounded log drain as
// the installer does.
#include "diag/analytics.h"
#include "diag/itlog.h"

#include <QCoreApplication>

#include <curl/curl.h>

#include <cstdio>

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString padding(args.value(2).toInt(), u'x');
    for (int i = 0, count = args.value(1).toInt(); i < count; ++i)
        ITLog("TEST: %d %@", i, padding);
    if (args.size() > 4) {
        ITSetAnalyticsConfig({args[4], QStringLiteral("G-TEST000001"), QStringLiteral("s"), 60000});
        ITTrackEvent(QStringLiteral("setup_run"));
    }
    std::puts("queued");
    std::fflush(stdout);
    (void)std::getchar(); // EOF once stdin closes
    ITAnalyticsFinish(QDeadlineTimer(1000));
    std::puts("analytics finished");
    std::fflush(stdout);
    ITLogDrain(args.value(3).toInt());
    return 0;
}
