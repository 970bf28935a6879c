#pragma once

#include "itformat.h"

#include <QString>

// Appends one finished message to the setup log; returns at once, never fails. The first call
// of the process opens the log and writes its start banner.
void ITLogMessage(const QString &message);

// printf-style log call: ITLog("DL: GET %@ -> %@", url, destFile).
template <typename... Args> void ITLog(const char *format, const Args &...args)
{
    ITLogMessage(ITFormat(format, args...));
}

// Full path of the log file, empty before the first ITLog call.
QString ITLogFilePath();

// Waits, at most maxMs, until the log writer has written what is queued. Without a writer
// every line is already written.
void ITLogDrain(int maxMs = 500);

namespace diag {

class LogWriter;
struct LogLine;

// Writes line to the log on the calling thread; a failure loses that line only.
void writeLogLine(const LogLine &line);

// Lines go to writer's queue from now on; null: each caller writes its own line, as before a
// writer exists and after it is gone. Once this returns, no line is on its way to the old one.
void setLogWriter(LogWriter *writer);

} // namespace diag
