#include "ui/NameStore.h"

#include <gtest/gtest.h>

#include <string>

// Names share chunks end to end, and a name is read back as exactly its own bytes wherever it
// landed: inside a chunk, at a chunk's end, or in a chunk of its own when it is larger than one.
TEST(NameStoreTest, EveryNameReadsBackWholeAndInPlaceAcrossChunks)
{
    CNameStore store;
    std::string strHuge(CNameStore::CHUNK_SIZE * 3, 'x');
    strHuge.front() = 'A';
    strHuge.back() = 'Z';
    std::vector<std::string> names = {"ab", "c", "", strHuge, "after.example"};
    // Enough to fill the chunk after the huge one and start another.
    for (int i = 0; names.size() < 60000; ++i)
        names.push_back("host" + std::to_string(i) + ".example.net");
    store.Add(names[0], 7);
    const std::string_view first = store.GetName(0);
    for (size_t i = 1; i < names.size(); ++i)
        store.Add(names[i], uint32_t(i));

    ASSERT_EQ(store.GetCount(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        ASSERT_EQ(store.GetName(i), names[i]) << i;
    EXPECT_EQ(store.GetTime(0), 7u);
    EXPECT_EQ(store.GetTime(names.size() - 1), uint32_t(names.size() - 1));
    // Bytes never move: what was read before the store grew still reads the same.
    EXPECT_EQ(first.data(), store.GetName(0).data());
    size_t nBytes = 0;
    for (const std::string& strName : names)
        nBytes += strName.size();
    EXPECT_EQ(store.GetNameBytes(), nBytes);

    store.Release();
    EXPECT_EQ(store.GetCount(), 0u);
    EXPECT_EQ(store.GetNameBytes(), 0u);
    store.Add("again.example", 1);
    EXPECT_EQ(store.GetName(0), "again.example");
}
