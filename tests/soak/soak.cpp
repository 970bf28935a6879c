// scripts/soak's program (usage there): both halves from one seed; --case K runs only case K of
// each, --duration MS fixes one install's length (the kill times are drawn over it) instead of
// measuring it. Exit status 1 on any bad state.
#include "soak.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

void soak::Cases::report(const char *half, const QString &options, qint64 index,
                         const QStringList &problems) const
{
    bad << QStringLiteral("%1 case %2: %3\n    repeat: scripts/soak --seed %4 %5 --case %2")
               .arg(half, QString::number(index), problems.join('\n'), QString::number(seed),
                    options);
    std::printf("BAD %s\n", qPrintable(bad.last()));
}

void soak::Cases::run(const char *half, const QString &options,
                      const std::function<QStringList(int)> &runCase) const
{
    for (qint64 i = 0; i < count; ++i) {
        const qint64 index = only >= 0 ? only : i;
        if (const QStringList problems = runCase(int(index)); !problems.isEmpty())
            report(half, options, index, problems);
        if ((i + 1) % 50 == 0)
            std::printf("%s: %lld of %lld\n", half, i + 1, count);
    }
}

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
