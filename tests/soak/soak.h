#pragma once

// What the two halves of the soak share: the seeded draws, the driver's view of a half, the
// tallies and the releases' signatures.
#include "envrow.h"
#include "tools/signing.h"

#include <QMap>

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

// image.sig for image as that release version, signed with the key in pem.
inline bool signImage(const QString &pem, const QString &image, qint64 version)
{
    QFile sig(image + ".sig");
    const auto text = signImageFile(pem, image, version, {}, nullptr);
    return text && sig.open(QIODevice::WriteOnly) && sig.write(*text) == text->size();
}

} // namespace soak
