#pragma once

#include <QtGlobal>

namespace download {

// Decides which byte-count updates reach the GUI thread: the first one, then at most one per
// interval, plus the one that completes a known size. Times are seconds of a monotonic clock.
class ProgressThrottle
{
public:
    static constexpr double kInterval = 0.1;

    bool shouldDeliver(qint64 written, qint64 total, double now)
    {
        const bool completes = total > 0 && written >= total;
        if (!completes && m_delivered && now - m_lastTick < kInterval)
            return false;
        m_delivered = true;
        m_lastTick = now;
        return true;
    }

private:
    bool m_delivered = false;
    double m_lastTick = 0;
};

} // namespace download
