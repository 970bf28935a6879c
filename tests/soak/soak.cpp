// scripts/soak's program: kills whole installs at random moments and draws random network
// faults, from one seed, and counts every state that is not old, new or cleanly absent.
//   qm-soak [--kills N] [--net N] [--seed S] [--case K] [--duration MS]
// --case K runs only case K of each part with the seed; --duration fixes one install's length
// (the kill times are drawn over it) instead of measuring it. Exit status 1 on any bad state.
#include "soak.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

double quantile(QList<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0.0
                            : values[qMin(values.size() - 1, qsizetype(q * double(values.size())))];
}

// The kill half's bytes per install so far, or nothing.
QString ratios()
{
    if (soak::imageRatios.isEmpty())
        return {};
    return QString::asprintf(", bytes fetched per install / image size: median %.3f, p99 %.3f, "
                             "max %.3f; with the .sig: median %.3f, p99 %.3f",
                             quantile(soak::imageRatios, 0.5), quantile(soak::imageRatios, 0.99),
                             quantile(soak::imageRatios, 1.0), quantile(soak::allRatios, 0.5),
                             quantile(soak::allRatios, 0.99));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // clang-format off
    QMap<QString, qint64> option{{"--kills", 0}, {"--net", 0}, {"--case", -1}, {"--duration", 0}, {"--seed", std::random_device{}() % 1000000}};
    // clang-format on
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (!option.contains(args[i]))
            return std::printf("unknown option %s\n", qPrintable(args[i])), 2;
        option[args[i]] = args[i + 1].toLongLong();
    }
    const quint64 seed = quint64(option["--seed"]);
    std::printf("soak: seed %llu, %lld kills, %lld network runs\n", seed, option["--kills"],
                option["--net"]);
    std::fflush(stdout);

    QStringList bad; // one line per bad state, with the command that repeats it
    const auto fault = [&](const QString &what) {
        bad << what;
        std::printf("BAD %s\n", qPrintable(what)), std::fflush(stdout);
    };
    const auto run = [&](std::unique_ptr<soak::Part> part, qint64 cases, const char *name) {
        const QString repeat = QStringLiteral("\n    repeat: scripts/soak --seed %1 ").arg(seed);
        if (!part->failed.isEmpty())
            return fault(name + QString(": set-up failed: ") + part->failed + repeat +
                         part->repeat);
        for (qint64 i = 0; i < cases; ++i) {
            const qint64 index = option["--case"] >= 0 ? option["--case"] : i;
            if (const QStringList problems = part->runCase(int(index)); !problems.isEmpty())
                fault(QStringLiteral("%1 case %2: %3%4%5 --case %2")
                          .arg(name)
                          .arg(index)
                          .arg(problems.join('\n'), repeat, part->repeat));
            if ((i + 1) % 50 == 0)
                std::printf("%s: %lld of %lld%s\n", name, i + 1, cases, qPrintable(ratios())),
                    std::fflush(stdout);
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
    if (!soak::imageRatios.isEmpty())
        std::printf("  %s\n", qPrintable(ratios().mid(2)));
    for (auto it = soak::outageMs.cbegin(); it != soak::outageMs.cend(); ++it) {
        QList<double> ms(it.value().cbegin(), it.value().cend());
        std::printf("  run without faults, first host %s: median %.0f ms of %lld\n",
                    qPrintable(it.key()), quantile(ms, 0.5), qint64(ms.size()));
    }
    std::printf("  %-60s %lld\n", "bad states", qint64(bad.size()));
    for (const QString &b : bad)
        std::printf("BAD %s\n", qPrintable(b.left(600)));
    return bad.isEmpty() ? 0 : 1;
}
