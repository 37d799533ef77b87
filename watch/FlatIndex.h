#pragma once

#include "platform/MappedAllocator.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// An index from a 64-bit hash to 32-bit values (slots of a pool kept elsewhere), in one flat array of
// eight-byte slots: open addressing, linear probing, removal by shifting back the entries behind (no
// tombstones, so a long run of inserts and removals never slows the probes down). A slot keeps 32
// bits of the hash, so a value whose hash only matches in those must be checked by the caller,
// which reads the value's own key anyway. The array is at most half full, so that runs of taken
// slots stay short (a lookup of a hash that is not there, or a removal, walks to the run's end):
// for the 100,000 queries a capture may wait for, 2 MiB.
// The hashes must be seeded (SeededHash.h): they come off the network. std::unordered_map would
// allocate a node for every entry, which a flood of queries pays for at every one.
class CFlatIndex
{
public:
    static constexpr std::uint32_t NONE = UINT32_MAX;

    // Asks for the memory a lookup of nHash will read first, so that it is there by then.
    void Prefetch(std::uint64_t nHash) const
    {
        if (m_slots.empty())
            return;
        // The run of taken slots may go on into the next line.
        const size_t nHome = Home(Check(nHash));
        __builtin_prefetch(&m_slots[nHome]);
        __builtin_prefetch(&m_slots[(nHome + 8) & m_nMask]);
    }

    // Calls bStop(value) for each value that may be stored under nHash until one returns true.
    template <class TVisit>
    void ForEach(std::uint64_t nHash, TVisit&& bStop) const
    {
        if (m_nSize == 0)
            return;
        const std::uint32_t nCheck = Check(nHash);
        for (size_t i = Home(nCheck);; i = (i + 1) & m_nMask)
        {
            const CSlot& slot = m_slots[i];
            if (slot.nValue == NONE)
                return;
            if (slot.nCheck == nCheck && bStop(slot.nValue))
                return;
        }
    }

    void Insert(std::uint64_t nHash, std::uint32_t nValue)
    {
        if ((m_nSize + 1) * 2 > m_slots.size())
            Grow();
        Place({Check(nHash), nValue});
        ++m_nSize;
    }

    // Removes the value stored under nHash; nothing when it is not there.
    void Erase(std::uint64_t nHash, std::uint32_t nValue)
    {
        if (m_nSize == 0)
            return;
        size_t i = Home(Check(nHash));
        for (; m_slots[i].nValue != nValue; i = (i + 1) & m_nMask)
        {
            if (m_slots[i].nValue == NONE)
                return;
        }
        // Each entry after the hole moves into it unless its home lies between the hole and itself.
        for (size_t j = (i + 1) & m_nMask; m_slots[j].nValue != NONE; j = (j + 1) & m_nMask)
        {
            const size_t nHome = Home(m_slots[j].nCheck);
            if (((j - nHome) & m_nMask) >= ((j - i) & m_nMask))
            {
                m_slots[i] = m_slots[j];
                i = j;
            }
        }
        m_slots[i] = CSlot();
        --m_nSize;
    }

    size_t GetSize() const { return m_nSize; }

private:
    struct CSlot
    {
        std::uint32_t nCheck = 0;
        std::uint32_t nValue = NONE;
    };

    static std::uint32_t Check(std::uint64_t nHash) { return std::uint32_t(nHash ^ (nHash >> 32)); }
    size_t Home(std::uint32_t nCheck) const { return nCheck & m_nMask; }

    void Place(const CSlot& entry)
    {
        size_t i = Home(entry.nCheck);
        while (m_slots[i].nValue != NONE)
            i = (i + 1) & m_nMask;
        m_slots[i] = entry;
    }

    void Grow()
    {
        std::vector<CSlot, CMappedAllocator<CSlot>> old(m_slots.empty() ? 16 : m_slots.size() * 2);
        old.swap(m_slots);
        m_nMask = m_slots.size() - 1;
        for (const CSlot& slot : old)
        {
            if (slot.nValue != NONE)
                Place(slot);
        }
    }

    std::vector<CSlot, CMappedAllocator<CSlot>> m_slots;
    size_t m_nMask = 0;
    size_t m_nSize = 0;
};
