#pragma once

#include "uniquefd.h"

#include <QString>

namespace platform {

// Keeps the machine from idle sleep while it exists (best effort: a logind inhibitor taken over
// the system bus). Without a bus or without logind there is no hold; error() says why.
class ActivityHold
{
public:
    explicit ActivityHold(const QString &reason);
    ~ActivityHold();
    ActivityHold(const ActivityHold &) = delete;
    ActivityHold &operator=(const ActivityHold &) = delete;

    bool isHeld() const { return m_fd.isValid(); }
    QString error() const { return m_error; }

private:
    platform::UniqueFd m_fd;
    QString m_error;
};

} // namespace platform
