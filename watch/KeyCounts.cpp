#include "watch/KeyCounts.h"

#include "watch/SeededHash.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace {

constexpr size_t FIRST_SLOTS = 64;
constexpr size_t HUGE_PAGE_BYTES = 2 * 1024 * 1024;

} // namespace

CKeyCounts::CKeyCounts(size_t nMaxKeys)
    : m_nMaxKeys(nMaxKeys), m_nSeed(NewHashSeed()), m_pSlots(NewSlots(FIRST_SLOTS)), m_nSlots(FIRST_SLOTS)
{}

void CKeyCounts::CFree::operator()(CEntry* pSlots) const
{
    std::free(pSlots);
}

CKeyCounts::CSlots CKeyCounts::NewSlots(size_t nSlots)
{
    const size_t nBytes = nSlots * sizeof(CEntry);
    const bool bHuge = nBytes >= HUGE_PAGE_BYTES;
    void* pBytes = std::aligned_alloc(bHuge ? HUGE_PAGE_BYTES : alignof(CEntry), nBytes);
    if (pBytes == nullptr)
        throw std::bad_alloc();
    // Only a hint: without huge pages the table works all the same.
    if (bHuge)
        madvise(pBytes, nBytes, MADV_HUGEPAGE);
    // All zero is every slot empty.
    std::memset(pBytes, 0, nBytes);
    return CSlots(static_cast<CEntry*>(pBytes));
}

std::uint64_t CKeyCounts::Hash(std::string_view key) const
{
    const std::uint64_t nHash = SeededHash(m_nSeed, key.data(), key.size());
    return nHash == 0 ? 1 : nHash;
}

CKeyCounts::CEntry* CKeyCounts::Find(std::string_view key)
{
    const std::uint64_t nHash = Hash(key);
    size_t nSlot = nHash & (m_nSlots - 1);
    for (;; nSlot = (nSlot + 1) & (m_nSlots - 1))
    {
        CEntry& entry = m_pSlots[nSlot];
        if (entry.nHash == 0)
            break;
        if (entry.nHash == nHash && GetKey(entry) == key)
            return &entry;
    }
    if (m_nSize >= m_nMaxKeys || key.size() > UINT16_MAX)
        return nullptr;
    if (2 * (m_nSize + 1) > m_nSlots)
    {
        Grow();
        for (nSlot = nHash & (m_nSlots - 1); m_pSlots[nSlot].nHash != 0; nSlot = (nSlot + 1) & (m_nSlots - 1))
        {}
    }
    CEntry& entry = m_pSlots[nSlot];
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

void CKeyCounts::Grow()
{
    CSlots pOld = NewSlots(m_nSlots * 2);
    pOld.swap(m_pSlots);
    const size_t nOldSlots = m_nSlots;
    m_nSlots *= 2;
    for (size_t i = 0; i < nOldSlots; ++i)
    {
        if (pOld[i].nHash == 0)
            continue;
        size_t nSlot = pOld[i].nHash & (m_nSlots - 1);
        while (m_pSlots[nSlot].nHash != 0)
            nSlot = (nSlot + 1) & (m_nSlots - 1);
        m_pSlots[nSlot] = pOld[i];
    }
}
