#pragma once

#include "platform/UniqueFd.h"

#include <string>

// What tarrow-watch prints, gathered per batch and written out whole, so a reader at the other end
// of a pipe sees each batch as soon as it is read. With -o, a file that log rotation may move away:
// Reopen then starts a new one at the same path.
class COutputStream
{
public:
    explicit COutputStream(int fd) : m_fd(fd) {}

    // Writes to the file at the path instead, appending to what it holds. False with the reason in
    // strError when it cannot be opened.
    bool OpenFile(const std::string& strPath, std::string& strError);
    // A file opened by OpenFile again, for the lines from now on (what is gathered still goes to
    // the new one: flush before). False with the reason in strError: it then goes on writing to the
    // old one, so nothing is lost. Nothing to do without a file.
    bool Reopen(std::string& strError);

    std::string& GetBuffer() { return m_strBuffer; }
    // Writes all that is gathered. False when it could not: errno EPIPE when the reader went away,
    // EINTR when a stop signal came first, otherwise why the write failed. What was not written is
    // dropped.
    bool Flush();

private:
    int m_fd;
    CUniqueFd m_file;
    std::string m_strPath;
    std::string m_strBuffer;
};
