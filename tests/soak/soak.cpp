// scripts/soak's program (usage there): both halves from one seed; --case K runs only case K of
// each, --duration MS fixes one install's length (the kill times are drawn over it) instead of
// measuring it. Exit status 1 on any bad state.
#include "soak.h"
#include "tools/signing.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

QByteArray soak::signReleases(const QString &dir, const QStringList &images)
{
    QByteArray key = makeEd25519Key(dir + "/key.pem");
    for (qint64 version = 1; const QString &image : images) {
        const auto text = signImageFile(dir + "/key.pem", image, version++, {}, nullptr);
        if (!text || !writeFile(image + ".sig", *text))
            key.clear();
    }
    return key;
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

    QStringList bad; // one line per bad state, with the command that repeats it
    const auto run = [&](std::unique_ptr<soak::Part> part, qint64 cases, const char *name) {
        for (qint64 i = 0; i < cases; ++i) {
            const qint64 index = option["--case"] >= 0 ? option["--case"] : i;
            const QStringList problems = part->failed.isEmpty()
                                             ? part->runCase(int(index))
                                             : QStringList{"set-up failed: " + part->failed};
            if (!problems.isEmpty())
                bad << QStringLiteral("%1 case %2: %3\n    repeat: scripts/soak --seed %4 %5 "
                                      "--case %2")
                           .arg(name, QString::number(index), problems.join('\n'),
                                QString::number(seed), part->repeat),
                    std::printf("BAD %s\n", qPrintable(bad.last()));
            if ((i + 1) % 50 == 0 || !part->failed.isEmpty())
                std::printf("%s: %lld of %lld\n", name, i + 1, cases);
            if (!part->failed.isEmpty())
                break;
        }
    };
    // The kills run the installer as a user of their own in private mount namespaces.
    if (option["--kills"] > 0 && ::geteuid() != 0)
        std::printf("kill soak: skipped, needs root to make the user's namespaces\n");
    else if (option["--kills"] > 0)
        run(soak::killSoak(seed, option["--duration"]), option["--kills"], "kill soak");
    if (option["--net"] > 0)
        run(soak::netSoak(seed), option["--net"], "network soak");

    std::printf("\nsoak: seed %llu\n", seed);
    for (auto it = soak::counts.cbegin(); it != soak::counts.cend(); ++it)
        std::printf("  %-60s %lld\n", qPrintable(it.key()), it.value());
    std::printf("  %-60s %lld\n", "bad states", qint64(bad.size()));
    return bad.isEmpty() ? 0 : 1;
}
