#pragma once

#include <QString>

// Keeps the machine from idle sleep while it exists (best effort: a logind inhibitor).
class ActivityHold
{
public:
    explicit ActivityHold(const QString &reason);
    ~ActivityHold();
    ActivityHold(const ActivityHold &) = delete;
    ActivityHold &operator=(const ActivityHold &) = delete;

    bool isHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
