#include "watch/OutputStream.h"

#include "watch/StopSignals.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Appended to, never truncated: a second run, or one restarted by its service, adds to the log
// instead of wiping what the last one saw, and after logrotate's copytruncate the writes go on at
// the new end instead of past a hole.
//
// The log names every user's programs when root writes it, and its path is often in a folder that
// others may write (/tmp): a name there may be another user's link to a file of root's, or another
// user's file that they read. So no link is followed, only a regular file this user owns with no
// other name is appended to, and a new file only its owner may read. (The kernel's
// protected_symlinks and protected_regular would refuse some of this, but they may be off.)
CUniqueFd OpenForAppending(const std::string& strPath, std::string& strError)
{
    // Without O_NONBLOCK a FIFO put there would hold the open until someone read it.
    CUniqueFd file(
        open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat facts
    {};
    // With protected_symlinks on, the kernel refuses such a link itself, with EACCES.
    const bool bLink =
        !file.IsOpen()
        && (errno == ELOOP || (errno == EACCES && lstat(strPath.c_str(), &facts) == 0 && S_ISLNK(facts.st_mode)));
    if (!file.IsOpen())
        strError = bLink            ? strPath + " is a symbolic link, which tarrow-watch does not follow"
                   : errno == ENXIO ? strPath + " is not a regular file" // a FIFO nobody reads
                                    : strPath + ": " + std::strerror(errno);
    else if (fstat(file.Get(), &facts) != 0)
        strError = strPath + ": " + std::strerror(errno);
    else if (!S_ISREG(facts.st_mode))
        strError = strPath + " is not a regular file";
    else if (facts.st_uid != geteuid())
        strError = strPath + " belongs to uid " + std::to_string(facts.st_uid) + ", not to this user (uid "
                   + std::to_string(geteuid()) + "): tarrow-watch appends only to a file of its user's own";
    else if (facts.st_nlink != 1)
        strError = strPath + " has " + std::to_string(facts.st_nlink)
                   + " names (hard links): tarrow-watch appends only to a file with one";
    else if (fcntl(file.Get(), F_SETFL, O_APPEND) != 0)
        strError = strPath + ": " + std::strerror(errno);
    else
        return file;
    return CUniqueFd();
}

} // namespace

bool COutputStream::OpenFile(const std::string& strPath, std::string& strError)
{
    CUniqueFd file = OpenForAppending(strPath, strError);
    if (!file.IsOpen())
        return false;
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
