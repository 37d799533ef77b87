// Feeds arbitrary bytes to the reader of the capture helper's record stream, as a broken or hostile
// helper might send them, both as the first message and as a later one. Whatever the reader
// accepts must hold to the table's promises, and must be what the writer would have written for
// the same records: writing again everything handed on has to give back the very same bytes.

#include "channel/RecordReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool bHolds)
{
    if (!bHolds)
        std::abort();
}

struct CReWriter
{
    template <class TRecord>
    void OnRecord(const TRecord& record, std::string_view tail)
    {
        Check(record.IsValid() && record.GetTailSize() == tail.size());
        const bool bOpening = TRecord::PLACE == Channel::RecordPlace::OPENING;
        Check(bOpening == (m_bFirst && m_bytes.empty()));
        const auto* p = reinterpret_cast<const unsigned char*>(&record);
        m_bytes.insert(m_bytes.end(), p, p + sizeof(record));
        m_bytes.insert(m_bytes.end(), tail.begin(), tail.end());
    }

    bool m_bFirst = false;
    std::vector<unsigned char> m_bytes;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    for (const bool bFirst : {true, false})
    {
        CReWriter visitor;
        visitor.m_bFirst = bFirst;
        if (!Channel::ReadRecords(pData, nSize, bFirst, visitor))
        {
            Check(visitor.m_bytes.empty());
            continue;
        }
        Check(visitor.m_bytes.size() == nSize && std::memcmp(visitor.m_bytes.data(), pData, nSize) == 0);
    }
    return 0;
}
