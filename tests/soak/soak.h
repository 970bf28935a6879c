#pragma once

// What the two halves of the soak share: the seeded draws, the driver's view of a half, and
// the checks that need outside tools.
#include "tools/signing.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStringList>

#include <memory>
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

// One half: set up once, then cases by number, each answering with what it found wrong.
class Part
{
public:
    virtual ~Part() = default;
    virtual bool prepare() = 0; // false: it cannot run (and has said why)
    virtual QStringList runCase(int index) = 0;
    QString repeat; // the options of scripts/soak that run one of its cases alone
};
inline QMap<QString, qint64> counts; // by kind of case, request or outcome
// Null when the half cannot run here.
std::unique_ptr<Part> killSoak(quint64 seed, qint64 durationMs);
std::unique_ptr<Part> netSoak(quint64 seed);

inline QString output(const QString &program, const QStringList &args, int *status = nullptr)
{
    QProcess p;
    p.start(program, args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit;
    if (status)
        *status = ok ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput());
}

inline QString readText(const QString &path, qint64 from = 0)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.seek(from) ? QString::fromUtf8(f.readAll()) : QString();
}

inline QString entries(const QString &dir)
{
    return QDir(dir)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
        .join(' ');
}

// Kind, mode, link target and SHA-256 of every entry below root, sorted; "absent" when there
// is no such folder.
inline QString describeTree(const QString &root)
{
    int status = 0;
    const QString tree = output("/bin/sh",
                                {"-c",
                                 "cd \"$1\" 2>/dev/null || { echo absent; exit; }; { find . "
                                 "-printf '%p %y %m %l\\n'; find . -type f -exec sha256sum {} +; "
                                 "} | LC_ALL=C sort",
                                 "sh", root},
                                &status);
    return status == 0 ? tree : "unreadable " + root;
}

// image.sig for image as that release version, signed with the key in pem.
inline bool signImage(const QString &pem, const QString &image, qint64 version)
{
    QFile sig(image + ".sig");
    const auto text = signImageFile(pem, image, version, {}, nullptr);
    return text && sig.open(QIODevice::WriteOnly) && sig.write(*text) == text->size();
}

} // namespace soak
