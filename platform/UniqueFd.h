#pragma once

#include <unistd.h>
#include <utility>

// Owns one descriptor and closes it exactly once, when it goes out of scope or is given another.
class CUniqueFd
{
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) noexcept : m_fd(fd) {}
    CUniqueFd(CUniqueFd&& other) noexcept : m_fd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept
    {
        Reset(other.Release());
        return *this;
    }
    ~CUniqueFd() { Reset(); }

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    // Hands the descriptor on; this object no longer closes it.
    int Release() noexcept { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) noexcept
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};
