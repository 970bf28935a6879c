// Logs <count> lines "TEST: <tag> <i> <padding>", prints the log path and exits normally,
// draining the log for at most <drainMs> as the installer does.
#include "diag/itlog.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = args.value(1, QStringLiteral("1")).toInt();
    const QString tag = args.value(2, QStringLiteral("line"));
    const QString padding(args.value(3).toInt(), u'x');
    const int drainMs = args.value(4, QStringLiteral("500")).toInt();
    for (int i = 0; i < count; ++i)
        ITLog("TEST: %@ %d %@", tag, i, padding);
    std::printf("%s\n", qPrintable(ITLogFilePath()));
    std::fflush(stdout);
    ITLogDrain(drainMs);
    return 0;
}
