#pragma once

#include "platform/MappedAllocator.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string_view>
#include <vector>

// The captured names in arrival order (index 0 the oldest), each with a number for its time. A
// million names must stay cheap to hold, so their bytes are packed into large chunks; names and
// rows never move once stored, since a reallocating vector would copy tens of megabytes on the UI
// thread in the middle of a burst.
class CNameStore
{
public:
    static constexpr unsigned CHUNK_BITS = 20;
    static constexpr size_t CHUNK_SIZE = size_t(1) << CHUNK_BITS;

    // Appends the name; its index is the count before the call.
    void Add(std::string_view name, uint32_t nTime);

    size_t GetCount() const { return m_rows.size(); }
    std::string_view GetName(size_t nIndex) const;
    uint32_t GetTime(size_t nIndex) const { return m_rows[nIndex].nTime; }
    // Bytes of name text held, what the list's budget counts.
    size_t GetNameBytes() const { return m_nNameBytes; }

    // Forgets every name and hands the memory back.
    void Release();

private:
    struct CRow
    {
        uint64_t nPos; // chunk number << CHUNK_BITS | offset in the chunk
        uint32_t nLength;
        uint32_t nTime;
    };
    using CChunk = std::vector<char, CMappedAllocator<char>>;

    std::vector<CChunk> m_chunks;
    size_t m_nChunkUsed = CHUNK_SIZE;
    std::deque<CRow> m_rows;
    size_t m_nNameBytes = 0;
};
