// Feeds arbitrary bytes to the reader of the capture helper's record stream, as a broken or hostile
// helper might send them, both as the first message and as a later one. Whatever the reader
// accepts must hold to its promises, and must be what the writer would have written for the same
// records: a second encoding of everything handed on has to give back the very same bytes.

#include "channel/CaptureRecords.h"
#include "dns/DnsName.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

class CReEncoder : public CRecordSink
{
public:
    void OnOpened(const Channel::COpenedRecord& opened) override { Check(m_writer.AddOpened(opened)); }
    void OnName(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view name) override
    {
        Check(nNanoseconds < 1000000000u && name.size() < NAME_BUFFER_SIZE);
        Check(m_writer.AddName(nSeconds, nNanoseconds, name));
    }
    void OnCounts(const Channel::CCountsRecord& counts) override { Check(m_writer.AddCounts(counts)); }
    void OnFailed(std::int32_t nError) override
    {
        Check(nError > 0);
        Check(m_writer.AddFailed(nError));
    }

    static void Check(bool bHolds)
    {
        if (!bHolds)
            std::abort();
    }

    CRecordWriter m_writer;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    for (const bool bFirst : {true, false})
    {
        CReEncoder sink;
        if (!ReadRecords(pData, nSize, bFirst, sink))
        {
            CReEncoder::Check(sink.m_writer.IsEmpty());
            continue;
        }
        CReEncoder::Check(sink.m_writer.GetSize() == nSize && std::memcmp(sink.m_writer.GetData(), pData, nSize) == 0);
    }
    return 0;
}
