#include "channel/RecordWriter.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

bool CRecordWriter::Flush()
{
    while (m_nSize > 0)
    {
        // MSG_NOSIGNAL: a reader that went away must end the writer's loop, not kill it mid-message.
        const ssize_t nSent = send(m_hChannel, m_bytes, m_nSize, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (nSent == ssize_t(m_nSize))
        {
            m_nSize = 0;
            break;
        }
        if (nSent >= 0)
        {
            errno = EMSGSIZE;
            return false;
        }
        if (errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pfd {m_hChannel, POLLOUT, 0};
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
            return false;
        if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        {
            errno = EPIPE;
            return false;
        }
    }
    return true;
}

bool CRecordWriter::Refuse()
{
    errno = EINVAL;
    return false;
}
