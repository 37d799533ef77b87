#include "watch/OutputStream.h"

#include "watch/StopSignals.h"

#include <cerrno>
#include <unistd.h>

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
