#pragma once

#include "itformat.h"

#include <QString>

// Appends one finished message to the setup log; returns at once, never fails.
void ITLogMessage(const QString &message);

// printf-style log call: ITLog("DL: GET %@ -> %@", url, destFile).
template <typename... Args>
void ITLog(const char *format, const Args &...args)
{
    ITLogMessage(ITFormat(format, args...));
}

// Full path of the log file, empty before the first ITLog call.
QString ITLogFilePath();

// Writes out what is still queued, waiting at most maxMs; called at a normal exit.
void ITLogDrain(int maxMs = 500);
