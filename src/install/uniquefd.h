#pragma once

#include <QtGlobal>

#include <unistd.h>

namespace install {

// Owns one file descriptor and closes it on destruction.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    Q_DISABLE_COPY_MOVE(UniqueFd)

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor now; the result of close(2), which reports late write errors.
    int reset(int fd = -1)
    {
        const int rc = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = fd;
        return rc;
    }

private:
    int m_fd = -1;
};

} // namespace install
