#include "analytics.h"

// Placeholder until the analytics poster lands.
void ITTrackEvent(const QString &, const QString &) {}
