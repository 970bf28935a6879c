#pragma once

#include "analyticsposter.h"
#include "logwriter.h"

#include <chrono>
#include <memory>

namespace diag {

struct DiagnosticsOptions
{
    std::chrono::milliseconds logDrainAllowance{500};
    AnalyticsPoster::Timing analytics;
};

// The log writer and the analytics poster of the process, each with its thread, made current
// for ITLog and ITTrackEvent while this lives. It is built in main, and tests that need the two
// build it the same way. Its end lets the posts finish first, so that their last lines still
// reach the log, then writes out the log.
class Diagnostics
{
public:
    explicit Diagnostics(DiagnosticsOptions options = {});
    ~Diagnostics();
    Diagnostics(const Diagnostics &) = delete;
    Diagnostics &operator=(const Diagnostics &) = delete;

private:
    std::unique_ptr<LogWriter> m_log;
    std::unique_ptr<AnalyticsPoster> m_poster;
};

} // namespace diag
