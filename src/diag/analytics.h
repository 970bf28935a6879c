#pragma once

#include <QString>

// Reports one usage event to the analytics service, fire-and-forget: two POSTs (collection and
// validation endpoint) on the analytics network thread. Never blocks, never fails.
void ITTrackEvent(const QString &name, const QString &reason = QString());
