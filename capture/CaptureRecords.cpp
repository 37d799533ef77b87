#include "capture/CaptureRecords.h"

#include "capture/DnsName.h"

#include <cstring>

using namespace HelperProtocol;

bool CRecordWriter::Add(RecordType type, const void* pFixed, size_t nFixed, std::string_view tail)
{
    const size_t nRecord = 1 + nFixed + tail.size();
    if (nRecord > sizeof(m_bytes) - m_nSize)
        return false;
    unsigned char* p = m_bytes + m_nSize;
    *p++ = type;
    std::memcpy(p, pFixed, nFixed);
    if (!tail.empty())
        std::memcpy(p + nFixed, tail.data(), tail.size());
    m_nSize += nRecord;
    return true;
}

bool CRecordWriter::AddOpened(const COpened& opened)
{
    const std::int32_t fields[] = {opened.nStep, opened.nError, opened.nReceiveAllError};
    return Add(RECORD_OPENED, fields, sizeof(fields));
}

bool CRecordWriter::AddName(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view name)
{
    if (name.size() >= NAME_BUFFER_SIZE)
        return false;
    unsigned char head[NAME_HEAD_BYTES - 1];
    const auto nLength = static_cast<std::uint16_t>(name.size());
    std::memcpy(head, &nSeconds, 8);
    std::memcpy(head + 8, &nNanoseconds, 4);
    std::memcpy(head + 12, &nLength, 2);
    return Add(RECORD_NAME, head, sizeof(head), name);
}

bool CRecordWriter::AddCounts(const CCounts& counts)
{
    const std::uint64_t fields[] = {counts.nReceived, counts.nDropped};
    return Add(RECORD_COUNTS, fields, sizeof(fields));
}

bool CRecordWriter::AddFailed(std::int32_t nError)
{
    return Add(RECORD_FAILED, &nError, sizeof(nError));
}

namespace {

// One pass over the message: checking only (pSink null), then delivering what the check passed.
// Every read of the message goes through Take, which never steps past its end.
class CRecordParser
{
public:
    CRecordParser(const unsigned char* pMessage, size_t nLength) : m_p(pMessage), m_nLeft(nLength) {}

    bool Run(bool bFirst, CRecordSink* pSink)
    {
        if (m_nLeft == 0)
            return false;
        for (bool bAtStart = true; m_nLeft > 0; bAtStart = false)
        {
            unsigned char nType = 0;
            if (!Take(&nType, 1))
                return false;
            if ((nType == RECORD_OPENED) != (bFirst && bAtStart))
                return false;
            if (!RunRecord(nType, pSink))
                return false;
        }
        return true;
    }

private:
    bool Take(void* pTarget, size_t nCount)
    {
        if (nCount > m_nLeft)
            return false;
        std::memcpy(pTarget, m_p, nCount);
        m_p += nCount;
        m_nLeft -= nCount;
        return true;
    }

    bool RunRecord(unsigned char nType, CRecordSink* pSink)
    {
        switch (nType)
        {
        case RECORD_OPENED:
        {
            COpened opened {};
            if (!Take(&opened.nStep, 4) || !Take(&opened.nError, 4) || !Take(&opened.nReceiveAllError, 4))
                return false;
            if (pSink != nullptr)
                pSink->OnOpened(opened);
            return true;
        }
        case RECORD_NAME:
        {
            CNameHead head {};
            if (!Take(&head.nSeconds, 8) || !Take(&head.nNanoseconds, 4) || !Take(&head.nLength, 2))
                return false;
            if (head.nNanoseconds >= 1000000000u || head.nLength >= NAME_BUFFER_SIZE || head.nLength > m_nLeft)
                return false;
            const std::string_view name(reinterpret_cast<const char*>(m_p), head.nLength);
            m_p += head.nLength;
            m_nLeft -= head.nLength;
            if (pSink != nullptr)
                pSink->OnName(head.nSeconds, head.nNanoseconds, name);
            return true;
        }
        case RECORD_COUNTS:
        {
            CCounts counts {};
            if (!Take(&counts.nReceived, 8) || !Take(&counts.nDropped, 8))
                return false;
            if (pSink != nullptr)
                pSink->OnCounts(counts);
            return true;
        }
        case RECORD_FAILED:
        {
            CFailed failed {};
            if (!Take(&failed.nError, 4) || failed.nError <= 0)
                return false;
            if (pSink != nullptr)
                pSink->OnFailed(failed.nError);
            return true;
        }
        default:
            return false;
        }
    }

    const unsigned char* m_p;
    size_t m_nLeft;
};

} // namespace

bool ReadRecords(const unsigned char* pMessage, size_t nLength, bool bFirst, CRecordSink& sink)
{
    if (!CRecordParser(pMessage, nLength).Run(bFirst, nullptr))
        return false;
    return CRecordParser(pMessage, nLength).Run(bFirst, &sink);
}
