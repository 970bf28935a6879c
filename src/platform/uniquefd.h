#pragma once

#include <QtGlobal>

#include <unistd.h>

namespace platform {

// Owns one file descriptor and closes it when it goes; -1 holds nothing. Moves, never copies.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    Q_DISABLE_COPY(UniqueFd)
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

    // Hands the descriptor over to the caller, who closes it.
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

    // Closes what it holds now; the result of close(2), which may report a late write error.
    int reset(int fd = -1)
    {
        const int rc = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = fd;
        return rc;
    }

private:
    int m_fd = -1;
};

} // namespace platform
