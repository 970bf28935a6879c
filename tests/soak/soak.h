#pragma once

// What the two halves of the soak share: the seeded draws, the tallies and the checks that
// need outside tools.
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <random>

namespace soak {

// Every case draws from its own generator, made from the run's seed and the case's number, so
// one case can be run again alone.
struct Draw
{
    Draw(quint64 seed, quint64 kind, int index)
        : rng(seed * 0x9E3779B97F4A7C15ull ^ (kind << 48) ^ quint64(index))
    {}
    double uniform() { return std::uniform_real_distribution<double>(0.0, 1.0)(rng); }
    qint64 below(qint64 n) { return std::uniform_int_distribution<qint64>(0, n - 1)(rng); }
    std::mt19937_64 rng;
};

struct Tally
{
    QMap<QString, int> counts; // by kind
    QStringList bad;           // one line per bad state, with the command that repeats it
    void add(const QString &kind) { ++counts[kind]; }
    void fault(const QString &what, const QString &repeat)
    {
        bad << what + "\n    repeat: " + repeat;
        std::printf("BAD %s\n    repeat: %s\n", qPrintable(what), qPrintable(repeat));
        std::fflush(stdout);
    }
};

inline QString output(const QString &program, const QStringList &args, int *status = nullptr)
{
    QProcess p;
    p.start(program, args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    if (status)
        *status = ok ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput());
}

// Kind, mode, link target and SHA-256 of every entry below root, sorted; "absent" when there
// is no such folder.
inline QString describeTree(const QString &root)
{
    int status = 0;
    const QString tree =
        output("/bin/sh",
               {"-c",
                "cd \"$1\" 2>/dev/null || { echo absent; exit; }; { find . -printf "
                "'%p %y %m %l\\n'; find . -type f -exec sha256sum {} +; } | "
                "LC_ALL=C sort",
                "sh", root},
               &status);
    return status == 0 ? tree : "unreadable " + root;
}

struct KillOptions
{
    quint64 seed = 0;
    int count = 0;
    int onlyCase = -1;     // >= 0: that case alone
    qint64 durationMs = 0; // > 0: one install's duration, not measured
};
void killSoak(const KillOptions &options, Tally &tally);

struct NetOptions
{
    quint64 seed = 0;
    int count = 0;
    int onlyCase = -1;
};
void netSoak(const NetOptions &options, Tally &tally);

} // namespace soak
