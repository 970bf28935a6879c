#include "hostpolicy.h"

namespace download {

namespace {

constexpr int kStaggerMs = 1000;
constexpr long kFloorBytesPerSecond = 4096;
constexpr int kFloorSeconds = 15;
constexpr int kSignatureSeconds = 20; // a few hundred bytes

// Failures a host will not get over by being asked again. A host that timed out (silent,
// stalled or trickling) counts among them: with another host on the list its patience was
// already the short one.
bool leavesHostAtOnce(const HostPolicy::Failure &failure)
{
    switch (failure.transport) {
    case TransportFailure::HostNotFound:
    case TransportFailure::NoConnection:
    case TransportFailure::TimedOut:
    case TransportFailure::CertificateUntrusted:
    case TransportFailure::CertificateExpired:
    case TransportFailure::CertificateWrongHost:
    case TransportFailure::ProxyAuthRequired:
    case TransportFailure::ProxyFailed:
        return true;
    default:
        return false;
    }
}

} // namespace

HostPolicy::HostPolicy(qsizetype hostCount) : m_hostCount(qMax<qsizetype>(1, hostCount)) {}

void HostPolicy::begin(qsizetype firstHost)
{
    m_host = qBound<qsizetype>(0, firstHost, m_hostCount - 1);
    m_retries = 0;
}

void HostPolicy::answeredBy(qsizetype host)
{
    if (host != m_host && host >= 0 && host < m_hostCount) {
        m_host = host;
        m_retries = 0;
    }
}

bool HostPolicy::isFinal(qint64 httpStatus)
{
    return httpStatus >= 400 && httpStatus <= 499 && httpStatus != 408 && httpStatus != 429;
}

HostPolicy::Step HostPolicy::afterFailure(const Failure &failure)
{
    const bool spent =
        isFinal(failure.httpStatus) || leavesHostAtOnce(failure) || m_retries >= kMaxRetries;
    if (spent && hostFollows()) {
        ++m_host;
        m_retries = 0;
        return Step::NextHost;
    }
    // A proxy that wants a password will want it again: only the user can settle that.
    if (isFinal(failure.httpStatus) || failure.transport == TransportFailure::ProxyAuthRequired ||
        m_retries >= kMaxRetries)
        return Step::GiveUp;
    ++m_retries;
    return Step::Retry;
}

HostPolicy::Patience HostPolicy::patience(bool signatureFile) const
{
    Patience p;
    if (!hostFollows())
        return p;
    p.staggerMs = kStaggerMs;
    p.floorBytesPerSecond = kFloorBytesPerSecond;
    p.floorSeconds = kFloorSeconds;
    if (signatureFile)
        p.totalSeconds = kSignatureSeconds;
    return p;
}

} // namespace download
