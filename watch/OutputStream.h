#pragma once

#include <string>

// What tarrow-watch prints, gathered per batch and written out whole, so a reader at the other end
// of a pipe sees each batch as soon as it is read.
class COutputStream
{
public:
    explicit COutputStream(int fd) : m_fd(fd) {}

    std::string& GetBuffer() { return m_strBuffer; }
    // Writes all that is gathered. False when it could not: errno EPIPE when the reader went away,
    // EINTR when a stop signal came first, otherwise why the write failed. What was not written is
    // dropped.
    bool Flush();

private:
    int m_fd;
    std::string m_strBuffer;
};
