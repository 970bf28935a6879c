#pragma once

// What the two halves of the soak share. Both run their installs with qm-envrun.
#include "envrow.h"
#include "testhttpserver.h"

#include <QMap>

#include <memory>
#include <random>

namespace soak {

using namespace testsupport;

// One half: set up when made (failed: why it could not be), then cases by number, each answering
// with what it found wrong; repeat: the options of scripts/soak that run one of its cases alone.
struct Part
{
    virtual ~Part() = default;
    virtual QStringList runCase(int index) = 0;
    QString failed, repeat;
};
std::unique_ptr<Part> killSoak(quint64 seed, qint64 durationMs);
std::unique_ptr<Part> netSoak(quint64 seed);
inline QMap<QString, qint64> counts; // by kind of case, request or outcome

// Every case draws from its own generator, made from the run's seed, the half and the case's
// number, so that one case can be run again alone.
inline std::mt19937_64 drawsFor(quint64 seed, quint64 half, int index)
{
    return std::mt19937_64(seed * 0x9E3779B97F4A7C15ull ^ (half << 48) ^ quint64(index));
}

// A new key in dir/key.pem and a .sig beside each image, as release versions 1, 2, ...; the
// public key, or nothing when any of it failed.
QByteArray signReleases(const QString &dir, const QStringList &images);

} // namespace soak
