// Logs <count> lines "TEST: <tag> <i> <padding>" and exits normally, as the installer does.
#include "diag/itlog.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1;
    const QString tag = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("line");
    const QString padding(argc > 3 ? QByteArray(argv[3]).toInt() : 0, u'x');
    for (int i = 0; i < count; ++i)
        ITLog("TEST: %@ %d %@", tag, i, padding);
    std::printf("%s\n", qPrintable(ITLogFilePath()));
    ITLogDrain(500);
    return 0;
}
