#include "watch/OutputStream.h"

#include "watch/StopSignals.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Appended to, never truncated: a second run, or one restarted by its service, adds to the log
// instead of wiping what the last one saw, and after logrotate's copytruncate the writes go on at
// the new end instead of past a hole.
int OpenForAppending(const std::string& strPath)
{
    return open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
}

} // namespace

bool COutputStream::OpenFile(const std::string& strPath, std::string& strError)
{
    CUniqueFd file(OpenForAppending(strPath));
    if (!file.IsOpen())
    {
        strError = strPath + ": " + std::strerror(errno);
        return false;
    }
    m_file = std::move(file);
    m_fd = m_file.Get();
    m_strPath = strPath;
    return true;
}

// The same path again: after logrotate moved the file, a new one is made there.
bool COutputStream::Reopen(std::string& strError)
{
    return !m_file.IsOpen() || OpenFile(std::string(m_strPath), strError);
}

bool COutputStream::Flush()
{
    size_t nDone = 0;
    bool bWritten = true;
    while (nDone < m_strBuffer.size())
    {
        const ssize_t n = write(m_fd, m_strBuffer.data() + nDone, m_strBuffer.size() - nDone);
        if (n > 0)
        {
            nDone += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR && !CStopSignals::IsRaised())
            continue;
        bWritten = false;
        break;
    }
    m_strBuffer.clear();
    return bWritten;
}
