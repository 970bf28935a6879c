#pragma once

#include "transportfailure.h"

#include <QtGlobal>

namespace download {

// Which download host an Install action asks, and how long it waits for each. Hosts are counted
// from 0, most preferred first. Any host may serve a signed image (its .sig decides), so a host
// that fails for good, or once its retries are spent, hands over to the next one; each host gets
// retries of its own, and every Install action, Retry included, starts again on the first.
class HostPolicy
{
public:
    static constexpr qint64 kMaxRetries = 3;

    enum class Step {
        Retry,    // ask the same host again after delaySeconds
        NextHost, // ask the next host at once
        GiveUp,   // the Install action fails
    };

    struct Failure
    {
        qint64 httpStatus = 0;
        TransportFailure transport = TransportFailure::None;
    };

    // How long an attempt waits for its host. A host that has not answered within stagger has
    // the next host asked beside it; one that sends fewer than floorBytesPerSecond over
    // floorSeconds is left. Alone on the list a host keeps the patience of a slow line.
    struct Patience
    {
        int staggerMs = -1; // -1: no host is asked beside this one
        long floorBytesPerSecond = 1;
        int floorSeconds = 30;
        int totalSeconds = 3600;
    };

    explicit HostPolicy(qsizetype hostCount = 1);

    // A new Install action: on the first host, or on firstHost when held bytes tie it there.
    void begin(qsizetype firstHost = 0);
    // The next file of the same action (the image after its .sig) gets retries of its own.
    void nextFile() { m_retries = 0; }
    // Another host answered first in a race and carries on.
    void answeredBy(qsizetype host);

    // What follows a failed attempt; Retry and NextHost move this policy on.
    Step afterFailure(const Failure &failure);
    qint64 delaySeconds() const { return m_retries; } // of the Retry just decided

    qsizetype host() const { return m_host; }
    qint64 retries() const { return m_retries; }
    bool hostFollows() const { return m_host + 1 < m_hostCount; }
    Patience patience(bool signatureFile) const;

    // Client errors are final, except the two that ask the client to come back later.
    static bool isFinal(qint64 httpStatus);

private:
    qsizetype m_hostCount;
    qsizetype m_host = 0;
    qint64 m_retries = 0;
};

} // namespace download
