#include "ui/NameIndex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A store and its index kept together, as the list keeps them.
class CIndexedNames
{
public:
    // True when the name was new and is now stored.
    bool Add(std::string_view name)
    {
        m_index.GrowFor(m_store.GetCount() + 1);
        const uint32_t nHash = m_index.Hash(name);
        const size_t nSlot = m_index.Find(name, nHash);
        if (!m_index.IsEmptySlot(nSlot))
            return false;
        m_index.Insert(nSlot, nHash, m_store.GetCount());
        m_store.Add(name, 0);
        return true;
    }

    CNameStore m_store;
    CNameIndex m_index {m_store};
};

} // namespace

TEST(NameIndexTest, FindsNamesByTheListsRuleAndNeighboursNeverRunTogether)
{
    CIndexedNames names;
    for (const char* pszNew : {"a[b", "a{b", "ab", "c", "abc", "bc", ""})
        EXPECT_TRUE(names.Add(pszNew)) << pszNew;
    for (const char* pszKnown : {"A[B", "AB", "C", "ABC", "Bc", ""})
        EXPECT_FALSE(names.Add(pszKnown)) << pszKnown;
    // Stored names sit end to end; a neighbour's bytes never count as part of a name.
    EXPECT_TRUE(names.Add("abcbc"));
}

TEST(NameIndexTest, FindsEveryNameAfterTheTableGrewManyTimes)
{
    CIndexedNames names;
    const int nCount = 80000;
    for (int i = 0; i < nCount; ++i)
        ASSERT_TRUE(names.Add("host" + std::to_string(i) + ".example.net"));
    for (int i = 0; i < nCount; ++i)
        ASSERT_FALSE(names.Add("HOST" + std::to_string(i) + ".EXAMPLE.NET")) << i;
    names.m_index.Release();
    names.m_store.Release();
    EXPECT_TRUE(names.Add("host1.example.net"));
}
