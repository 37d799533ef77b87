#pragma once

#include "platform/MappedAllocator.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// Counts by text key for tarrow-watch --top, at most a set number of keys. A busy capture looks up
// every line's name here, among up to that many, so a lookup should cost one read of memory: each
// slot is one cache line with the counts, the key's hash and, for the common short key, the key
// itself; longer keys lie one after the other in one text.
class CKeyCounts
{
public:
    static constexpr size_t INLINE_KEY_BYTES = 22;
    struct alignas(64) CEntry
    {
        std::uint64_t nHash = 0; // 0: an empty slot
        std::uint64_t nCount = 0;
        // Lines with a latency, for the slowest names.
        std::uint64_t nTimed = 0;
        std::uint64_t nLatencySumUs = 0;
        std::uint64_t nLatencyMaxUs = 0;
        std::uint16_t nKeyLength = 0;
        // The key, or where a longer one starts in the long keys' text (its first four bytes).
        char acKey[INLINE_KEY_BYTES] = {};
    };
    static_assert(sizeof(CEntry) == 64);

    explicit CKeyCounts(size_t nMaxKeys);

    // The key's entry, new with no counts the first time; null when the table holds its most keys
    // and this is none of them, or the key is longer than 65,535 bytes.
    CEntry* Find(std::string_view key);
    std::string_view GetKey(const CEntry& entry) const
    {
        if (entry.nKeyLength <= INLINE_KEY_BYTES)
            return {entry.acKey, entry.nKeyLength};
        std::uint32_t nKeyAt = 0;
        std::memcpy(&nKeyAt, entry.acKey, sizeof(nKeyAt));
        return {m_strKeys.data() + nKeyAt, entry.nKeyLength};
    }
    size_t GetSize() const { return m_nSize; }

    template <class TVisit>
    void ForEach(TVisit visit) const
    {
        for (const CEntry& entry : m_slots)
        {
            if (entry.nHash != 0)
                visit(entry);
        }
    }

private:
    std::uint64_t Hash(std::string_view key) const;
    // The slot of the key, or the empty one where it would go.
    size_t SlotOf(std::string_view key, std::uint64_t nHash) const;
    void Grow();

    size_t m_nMaxKeys;
    std::uint64_t m_nSeed;
    // Open addressing, never more than half full. Its slots are read at random: a large table
    // lies on huge pages, where a miss of the address translation's cache costs as much as the
    // read, more in a VM.
    std::vector<CEntry, CMappedAllocator<CEntry>> m_slots;
    size_t m_nSize = 0;
    std::string m_strKeys;
};
