// scripts/soak's program: kills whole installs at random moments and draws random network
// faults, from one seed, and counts every state that is not old, new or cleanly absent.
//   qm-soak [--kills N] [--net N] [--seed S] [--case K] [--duration MS]
// --case K runs only case K of each part with the seed; --duration fixes one install's length
// (the kill times are drawn over it) instead of measuring it. Exit status 1 on any bad state.
#include "soak.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <curl/curl.h>

#include <cstdlib>
#include <random>

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // The in-process runs keep their log, menu entries and caches out of the caller's home.
    QTemporaryDir home("/tmp/qm-soak-home-XXXXXX");
    for (const char *name : {"HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"})
        ::setenv(name, qPrintable(home.path() + (name[0] == 'H' ? "" : QString("/") + name)), 1);
    ::unsetenv("XDG_RUNTIME_DIR");
    QCoreApplication app(argc, argv);

    soak::KillOptions kills;
    soak::NetOptions net;
    quint64 seed = std::random_device{}() % 1000000;
    int only = -1;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &name = args[i];
        const qint64 value = args[i + 1].toLongLong();
        if (name == "--kills")
            kills.count = int(value);
        else if (name == "--net")
            net.count = int(value);
        else if (name == "--seed")
            seed = quint64(value);
        else if (name == "--case")
            only = int(value);
        else if (name == "--duration")
            kills.durationMs = value;
        else
            return std::printf("unknown option %s\n", qPrintable(name)), 2;
    }
    kills.seed = net.seed = seed;
    kills.onlyCase = net.onlyCase = only;
    std::printf("soak: seed %llu, %d kills, %d network runs\n", seed, kills.count, net.count);
    std::fflush(stdout);

    soak::Tally tally;
    if (kills.count > 0)
        soak::killSoak(kills, tally);
    if (net.count > 0)
        soak::netSoak(net, tally);

    std::printf("\nsoak: seed %llu\n", seed);
    for (auto it = tally.counts.cbegin(); it != tally.counts.cend(); ++it)
        std::printf("  %-60s %d\n", qPrintable(it.key()), it.value());
    std::printf("  %-60s %lld\n", "bad states", qint64(tally.bad.size()));
    for (const QString &b : tally.bad)
        std::printf("BAD %s\n", qPrintable(b.left(600)));
    return tally.bad.isEmpty() ? 0 : 1;
}
