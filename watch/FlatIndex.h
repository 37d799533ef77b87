#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// An index from a 64-bit hash to 32-bit values (slots of a pool kept elsewhere), in one flat array:
// open addressing, linear probing, removal by shifting back the entries behind (no tombstones, so a
// long run of inserts and removals never slows the probes down). The hashes must be seeded
// (SeededHash.h): they come off the network. std::unordered_map would allocate a node for every
// entry, which a flood of queries pays for at every one.
class CFlatIndex
{
public:
    static constexpr std::uint32_t NONE = UINT32_MAX;

    // Calls bIsIt(value) for each value stored under nHash until one says true; that value, or NONE.
    template <class TIsIt>
    std::uint32_t Find(std::uint64_t nHash, TIsIt&& bIsIt) const
    {
        if (m_nSize == 0)
            return NONE;
        for (size_t i = Home(nHash);; i = (i + 1) & m_nMask)
        {
            const CSlot& slot = m_slots[i];
            if (slot.nValue == NONE)
                return NONE;
            if (slot.nHash == nHash && bIsIt(slot.nValue))
                return slot.nValue;
        }
    }

    void Insert(std::uint64_t nHash, std::uint32_t nValue)
    {
        if ((m_nSize + 1) * 2 > m_slots.size())
            Grow();
        Place(nHash, nValue);
        ++m_nSize;
    }

    // Removes the value stored under nHash; nothing when it is not there.
    void Erase(std::uint64_t nHash, std::uint32_t nValue)
    {
        if (m_nSize == 0)
            return;
        size_t i = Home(nHash);
        for (; m_slots[i].nValue != nValue; i = (i + 1) & m_nMask)
        {
            if (m_slots[i].nValue == NONE)
                return;
        }
        // Each entry after the hole moves into it unless its home lies between the hole and itself.
        for (size_t j = (i + 1) & m_nMask; m_slots[j].nValue != NONE; j = (j + 1) & m_nMask)
        {
            const size_t nHome = Home(m_slots[j].nHash);
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
        std::uint64_t nHash = 0;
        std::uint32_t nValue = NONE;
    };

    size_t Home(std::uint64_t nHash) const { return size_t(nHash ^ (nHash >> 32)) & m_nMask; }

    void Place(std::uint64_t nHash, std::uint32_t nValue)
    {
        size_t i = Home(nHash);
        while (m_slots[i].nValue != NONE)
            i = (i + 1) & m_nMask;
        m_slots[i] = {nHash, nValue};
    }

    void Grow()
    {
        std::vector<CSlot> old(m_slots.empty() ? 16 : m_slots.size() * 2);
        old.swap(m_slots);
        m_nMask = m_slots.size() - 1;
        for (const CSlot& slot : old)
        {
            if (slot.nValue != NONE)
                Place(slot.nHash, slot.nValue);
        }
    }

    std::vector<CSlot> m_slots;
    size_t m_nMask = 0;
    size_t m_nSize = 0;
};
