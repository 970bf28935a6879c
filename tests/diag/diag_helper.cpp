// diag_helper LINES PADDING DRAIN_MS: "TEST: <i> <padding>" lines, then the installer's own end.
#include "diag/diagnostics.h"
#include "diag/itlog.h"

#include <QCoreApplication>

#include <curl/curl.h>

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    diag::Diagnostics diagnostics({std::chrono::milliseconds(args.value(3).toInt()), {}});
    const QString padding(args.value(2).toInt(), u'x');
    for (int i = 0, count = args.value(1).toInt(); i < count; ++i)
        ITLog("TEST: %d %@", i, padding);
    return 0;
}
