#include "watch/KeyCounts.h"

#include "watch/SeededHash.h"

namespace {

constexpr size_t FIRST_SLOTS = 64;

} // namespace

CKeyCounts::CKeyCounts(size_t nMaxKeys) : m_nMaxKeys(nMaxKeys), m_nSeed(NewHashSeed()), m_slots(FIRST_SLOTS)
{}

std::uint64_t CKeyCounts::Hash(std::string_view key) const
{
    const std::uint64_t nHash = SeededHash(m_nSeed, key.data(), key.size());
    return nHash == 0 ? 1 : nHash;
}

size_t CKeyCounts::SlotOf(std::string_view key, std::uint64_t nHash) const
{
    const size_t nMask = m_slots.size() - 1;
    size_t nSlot = nHash & nMask;
    while (m_slots[nSlot].nHash != 0 && !(m_slots[nSlot].nHash == nHash && GetKey(m_slots[nSlot]) == key))
        nSlot = (nSlot + 1) & nMask;
    return nSlot;
}

CKeyCounts::CEntry* CKeyCounts::Find(std::string_view key)
{
    const std::uint64_t nHash = Hash(key);
    size_t nSlot = SlotOf(key, nHash);
    if (m_slots[nSlot].nHash != 0)
        return &m_slots[nSlot];
    if (m_nSize >= m_nMaxKeys || key.size() > UINT16_MAX)
        return nullptr;
    if (2 * (m_nSize + 1) > m_slots.size())
    {
        Grow();
        nSlot = SlotOf(key, nHash);
    }
    CEntry& entry = m_slots[nSlot];
    entry.nHash = nHash;
    entry.nKeyLength = std::uint16_t(key.size());
    if (key.size() <= INLINE_KEY_BYTES)
        std::memcpy(entry.acKey, key.data(), key.size());
    else
    {
        const auto nKeyAt = std::uint32_t(m_strKeys.size());
        std::memcpy(entry.acKey, &nKeyAt, sizeof(nKeyAt));
        m_strKeys.append(key);
    }
    ++m_nSize;
    return &entry;
}

// Every key is distinct, so each goes to the first empty slot from its home.
void CKeyCounts::Grow()
{
    std::vector<CEntry, CMappedAllocator<CEntry>> old(m_slots.size() * 2);
    old.swap(m_slots);
    const size_t nMask = m_slots.size() - 1;
    for (const CEntry& entry : old)
    {
        if (entry.nHash == 0)
            continue;
        size_t nSlot = entry.nHash & nMask;
        while (m_slots[nSlot].nHash != 0)
            nSlot = (nSlot + 1) & nMask;
        m_slots[nSlot] = entry;
    }
}
