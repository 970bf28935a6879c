// scripts/soak's program (usage there): both halves from one seed; --case K runs only case K of
// each, --duration MS fixes one install's length (the kill times are drawn over it) instead of
// measuring it. Exit status 1 on any bad state.
#include "soak.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line as it comes, also into a pipe
    QMap<QString, qint64> option{{"--kills", 0},
                                 {"--net", 0},
                                 {"--case", -1},
                                 {"--duration", 0},
                                 {"--seed", std::random_device{}() % 1000000}};
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (!option.contains(args[i]))
            return std::printf("unknown option %s\n", qPrintable(args[i])), 2;
        option[args[i]] = args[i + 1].toLongLong();
    }
    const quint64 seed = quint64(option["--seed"]);
    std::printf("soak: seed %llu, %lld kills, %lld network runs\n", seed, option["--kills"],
                option["--net"]);
    // The kills run the installer as a user of their own in private mount namespaces.
    if (option["--kills"] > 0 && ::geteuid() != 0)
        std::printf("kill soak: skipped, needs root to make the user's namespaces\n");
    else if (option["--kills"] > 0)
        soak::killSoak({seed, option["--kills"], option["--case"]}, option["--duration"]);
    if (option["--net"] > 0)
        soak::netSoak({seed, option["--net"], option["--case"]});

    std::printf("\nsoak: seed %llu\n", seed);
    for (auto it = soak::counts.cbegin(); it != soak::counts.cend(); ++it)
        std::printf("  %-60s %lld\n", qPrintable(it.key()), it.value());
    std::printf("  %-60s %lld\n", "bad states", qint64(soak::bad.size()));
    return soak::bad.isEmpty() ? 0 : 1;
}
