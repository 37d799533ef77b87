#include "ui/NameStore.h"

#include <algorithm>

void CNameStore::Add(std::string_view name, uint32_t nTime)
{
    uint64_t nPos = 0;
    if (!name.empty())
    {
        // Names never straddle chunks; one that does not fit in a chunk gets one of its own.
        if (name.size() > CHUNK_SIZE - m_nChunkUsed)
        {
            // Reserved up front and never filled past it, so the bytes of earlier names stay put.
            m_chunks.emplace_back().reserve(std::max(name.size(), CHUNK_SIZE));
            m_nChunkUsed = 0;
        }
        nPos = static_cast<uint64_t>(m_chunks.size() - 1) << CHUNK_BITS | m_nChunkUsed;
        m_chunks.back().insert(m_chunks.back().end(), name.begin(), name.end());
        m_nChunkUsed = std::min(m_nChunkUsed + name.size(), CHUNK_SIZE);
    }
    m_rows.push_back(CRow {nPos, static_cast<uint32_t>(name.size()), nTime});
    m_nNameBytes += name.size();
}

std::string_view CNameStore::GetName(size_t nIndex) const
{
    const CRow& row = m_rows[nIndex];
    if (row.nLength == 0)
        return {};
    return {m_chunks[row.nPos >> CHUNK_BITS].data() + (row.nPos & (CHUNK_SIZE - 1)), row.nLength};
}

void CNameStore::Release()
{
    // Swapping with empty containers hands a large list's memory back instead of keeping capacity.
    std::vector<CChunk>().swap(m_chunks);
    m_nChunkUsed = CHUNK_SIZE;
    std::deque<CRow>().swap(m_rows);
    m_nNameBytes = 0;
}
