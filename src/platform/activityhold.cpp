#include "activityhold.h"

// Placeholder until the logind inhibitor lands.
ActivityHold::ActivityHold(const QString &) {}
ActivityHold::~ActivityHold() = default;
