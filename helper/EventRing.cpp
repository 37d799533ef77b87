#include "helper/EventRing.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

// The ring's layout, as the kernel maps it: a page the reader writes its position to, then a page
// with the writer's position and the data, mapped twice in a row so that no event wraps.
bool CEventRing::Map(int hRing, size_t nDataBytes)
{
    const size_t nPage = size_t(sysconf(_SC_PAGESIZE));
    m_pConsumerPage = mmap(nullptr, nPage, PROT_READ | PROT_WRITE, MAP_SHARED, hRing, 0);
    m_nProducerSize = nPage + 2 * nDataBytes;
    m_pProducerPages = mmap(nullptr, m_nProducerSize, PROT_READ, MAP_SHARED, hRing, off_t(nPage));
    if (m_pConsumerPage == MAP_FAILED || m_pProducerPages == MAP_FAILED)
    {
        const int nError = errno;
        Unmap();
        errno = nError;
        return false;
    }
    m_pConsumer = static_cast<std::uint64_t*>(m_pConsumerPage);
    m_pProducer = static_cast<const std::uint64_t*>(m_pProducerPages);
    m_pData = static_cast<const unsigned char*>(m_pProducerPages) + nPage;
    m_nMask = nDataBytes - 1;
    return true;
}

void CEventRing::Unmap()
{
    if (m_pConsumerPage != nullptr && m_pConsumerPage != MAP_FAILED)
        munmap(m_pConsumerPage, size_t(sysconf(_SC_PAGESIZE)));
    if (m_pProducerPages != nullptr && m_pProducerPages != MAP_FAILED)
        munmap(m_pProducerPages, m_nProducerSize);
    m_pConsumerPage = m_pProducerPages = nullptr;
    m_pData = nullptr;
}
