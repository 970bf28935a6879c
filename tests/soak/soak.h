#pragma once

// What the two halves of the soak share: the seeded draws, the driver's view of a half, the
// tallies and the signed releases. Both run their installs with qm-envrun.
#include "envrow.h"
#include "testhttpserver.h"
#include "testkeys.h"
#include "tools/signing.h"

#include <QMap>

#include <memory>
#include <random>

namespace soak {

using namespace testsupport;

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

// One half: set up when made, then cases by number, each answering with what it found wrong.
struct Part
{
    virtual ~Part() = default;
    virtual QStringList runCase(int index) = 0;
    QString failed; // why it could not be set up
    QString repeat; // the options of scripts/soak that run one of its cases alone
};
inline QMap<QString, qint64> counts; // by kind of case, request or outcome
// Per install of the kill soak, the bytes fetched over all its runs against one install's: of the
// image alone, and of the image and its .sig together.
inline QList<double> imageRatios, allRatios;
// Per kind of first-host outage of the network soak, how long runs without other faults took.
inline QMap<QString, QList<qint64>> outageMs;
std::unique_ptr<Part> killSoak(quint64 seed, qint64 durationMs);
std::unique_ptr<Part> netSoak(quint64 seed);

// A new key in dir/key.pem, and a .sig beside each image, as release versions 1, 2, ...;
// returns the public key, or nothing when any of it failed.
inline QByteArray signReleases(const QString &dir, const QStringList &images)
{
    QByteArray key = makeEd25519Key(dir + "/key.pem");
    for (qint64 version = 1; const QString &image : images) {
        QFile sig(image + ".sig");
        const auto text = signImageFile(dir + "/key.pem", image, version++, {}, nullptr);
        if (!text || !sig.open(QIODevice::WriteOnly) || sig.write(*text) != text->size())
            key.clear();
    }
    return key;
}

} // namespace soak
