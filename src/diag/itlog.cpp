#include "itlog.h"

// Placeholder until the writer thread lands.
void ITLogMessage(const QString &) {}
QString ITLogFilePath() { return {}; }
void ITLogDrain(int) {}
