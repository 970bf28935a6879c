#pragma once

// What the two halves of the soak share. Both run their installs with qm-envrun.
#include "envrow.h"
#include "testhttpserver.h"

#include <QMap>

#include <cstdio>
#include <functional>
#include <random>

namespace soak {

using namespace testsupport;

// One half's cases, all count of them or only the one --case names. A bad case is counted and
// printed with the command that repeats it (the half's options of scripts/soak after the seed).
inline QMap<QString, qint64> counts; // by kind of case, request or outcome
inline QStringList bad;              // one line per bad case
struct Cases
{
    quint64 seed;
    qint64 count, only; // only: -1 for all
    void report(const char *half, const QString &options, qint64 index,
                const QStringList &problems) const
    {
        bad << QStringLiteral("%1 case %2: %3\n    repeat: scripts/soak --seed %4 %5 --case %2")
                   .arg(half, QString::number(index), problems.join('\n'), QString::number(seed),
                        options);
        std::printf("BAD %s\n", qPrintable(bad.last()));
    }
    void run(const char *half, const QString &options,
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
};
void killSoak(const Cases &cases, qint64 durationMs);
void netSoak(const Cases &cases);

// Every case draws from its own generator, made from the run's seed, the half and the case's
// number, so that one case can be run again alone.
inline std::mt19937_64 drawsFor(quint64 seed, quint64 half, int index)
{
    return std::mt19937_64(seed * 0x9E3779B97F4A7C15ull ^ (half << 48) ^ quint64(index));
}

} // namespace soak
