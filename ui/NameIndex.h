#pragma once

#include "platform/MappedAllocator.h"
#include "ui/NameStore.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Finds a stored name equal to a new one, ignoring the case of ASCII letters only: an
// open-addressing table of store indices whose hash is taken over the case-folded bytes. Hash and
// index share one slot, so that a probe costs one cache line.
class CNameIndex
{
public:
    explicit CNameIndex(const CNameStore& store) : m_store(store) {}

    // The hash of the folded name.
    uint32_t Hash(std::string_view name);

    // Asks for the slot where the name of this hash would be looked for first; nothing else.
    void Prefetch(uint32_t nHash) const
    {
        if (!m_slots.empty())
            __builtin_prefetch(&m_slots[nHash & (m_slots.size() - 1)]);
    }
    // The slot of a stored name equal to this one, or the empty slot where it would go. Call
    // GrowFor first: the table must have room for one more.
    size_t Find(std::string_view name, uint32_t nHash) const;
    bool IsEmptySlot(size_t nSlot) const { return m_slots[nSlot].nIndex == EMPTY_SLOT; }
    // Records the store index of a name at the empty slot Find gave for it.
    void Insert(size_t nSlot, uint32_t nHash, size_t nIndex);

    // Keeps the load at most 0.7 for this many names, so that probe runs stay within a cache line
    // or two.
    void GrowFor(size_t nCount);
    void Release();

    // Store indices stay below this marker of an empty slot.
    static constexpr uint32_t EMPTY_SLOT = UINT32_MAX;

private:
    struct CSlot
    {
        uint32_t nHash;
        uint32_t nIndex;
    };
    using CSlots = std::vector<CSlot, CMappedAllocator<CSlot>>;

    const CNameStore& m_store;
    CSlots m_slots;
    std::string m_strFolded;
};
