#include "diagnostics.h"

#include "analytics.h"
#include "itlog.h"

#include <system_error>

namespace diag {

Diagnostics::Diagnostics(DiagnosticsOptions options)
{
    try {
        m_log = std::make_unique<LogWriter>(options.logDrainAllowance);
        setLogWriter(m_log.get());
    } catch (const std::system_error &) {
        // No thread: every caller goes on writing its own lines.
    }
    m_poster = std::make_unique<AnalyticsPoster>(options.analytics);
    if (m_poster->isRunning())
        setAnalyticsPoster(m_poster.get());
}

Diagnostics::~Diagnostics()
{
    setAnalyticsPoster(nullptr);
    m_poster.reset();
    setLogWriter(nullptr);
    m_log.reset();
}

} // namespace diag
