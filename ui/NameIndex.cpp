#include "ui/NameIndex.h"

#include "dns/NameRule.h"

#include <QHashFunctions>

uint32_t CNameIndex::Hash(std::string_view name)
{
    NameRule::Fold(name, m_strFolded);
    // Seeded per process: the names come off the network, and a fixed hash would let crafted
    // queries pile up in one probe run.
    return static_cast<uint32_t>(qHashBits(m_strFolded.data(), m_strFolded.size(), QHashSeed::globalSeed()));
}

size_t CNameIndex::Find(std::string_view name, uint32_t nHash) const
{
    const size_t nMask = m_slots.size() - 1;
    for (size_t nPos = nHash & nMask;; nPos = (nPos + 1) & nMask)
    {
        const CSlot& slot = m_slots[nPos];
        if (slot.nIndex == EMPTY_SLOT)
            return nPos;
        if (slot.nHash == nHash && NameRule::IsSameName(m_store.GetName(slot.nIndex), name))
            return nPos;
    }
}

void CNameIndex::Insert(size_t nSlot, uint32_t nHash, size_t nIndex)
{
    m_slots[nSlot] = CSlot {nHash, static_cast<uint32_t>(nIndex)};
}

void CNameIndex::GrowFor(size_t nCount)
{
    if (!m_slots.empty() && nCount * 10 <= m_slots.size() * 7)
        return;
    CSlots old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 64 : old.size() * 2, CSlot {0, EMPTY_SLOT});
    const size_t nMask = m_slots.size() - 1;
    for (const CSlot& slot : old)
    {
        if (slot.nIndex == EMPTY_SLOT)
            continue;
        size_t nPos = slot.nHash & nMask;
        while (m_slots[nPos].nIndex != EMPTY_SLOT)
            nPos = (nPos + 1) & nMask;
        m_slots[nPos] = slot;
    }
}

void CNameIndex::Release()
{
    CSlots().swap(m_slots);
    std::string().swap(m_strFolded);
}
