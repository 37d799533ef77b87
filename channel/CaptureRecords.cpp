#include "channel/CaptureRecords.h"

#include "dns/DnsName.h"

#include <cstring>

using namespace Channel;

template <class TRecord>
bool CRecordWriter::Add(const TRecord& record, std::string_view tail)
{
    const size_t nRecord = sizeof(record) + tail.size();
    if (nRecord > sizeof(m_bytes) - m_nSize)
        return false;
    std::memcpy(m_bytes + m_nSize, &record, sizeof(record));
    if (!tail.empty())
        std::memcpy(m_bytes + m_nSize + sizeof(record), tail.data(), tail.size());
    m_nSize += nRecord;
    return true;
}

bool CRecordWriter::AddOpened(const COpenedRecord& opened)
{
    return Add(opened);
}

bool CRecordWriter::AddCounts(const CCountsRecord& counts)
{
    return Add(counts);
}

bool CRecordWriter::AddName(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view name)
{
    if (name.size() >= NAME_BUFFER_SIZE)
        return false;
    CNameRecord head;
    head.nSeconds = nSeconds;
    head.nNanoseconds = nNanoseconds;
    head.nLength = static_cast<std::uint16_t>(name.size());
    return Add(head, name);
}

bool CRecordWriter::AddFailed(std::int32_t nError)
{
    CFailedRecord failed;
    failed.nError = nError;
    return Add(failed);
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
            const unsigned char nType = *m_p;
            if ((nType == RECORD_OPENED) != (bFirst && bAtStart))
                return false;
            if (!RunRecord(nType, pSink))
                return false;
        }
        return true;
    }

private:
    template <class TRecord>
    bool Take(TRecord& record)
    {
        if (sizeof(record) > m_nLeft)
            return false;
        std::memcpy(&record, m_p, sizeof(record));
        m_p += sizeof(record);
        m_nLeft -= sizeof(record);
        return true;
    }

    bool RunRecord(unsigned char nType, CRecordSink* pSink)
    {
        switch (nType)
        {
        case RECORD_OPENED:
        {
            COpenedRecord opened;
            if (!Take(opened))
                return false;
            if (pSink != nullptr)
                pSink->OnOpened(opened);
            return true;
        }
        case RECORD_NAME:
        {
            CNameRecord head;
            if (!Take(head))
                return false;
            const size_t nLength = head.nLength;
            if (head.nSeconds < 0 || head.nSeconds > LAST_REAL_SECOND || head.nNanoseconds >= 1000000000u
                || nLength >= NAME_BUFFER_SIZE || nLength > m_nLeft)
                return false;
            const std::string_view name(reinterpret_cast<const char*>(m_p), nLength);
            m_p += nLength;
            m_nLeft -= nLength;
            if (pSink != nullptr)
                pSink->OnName(head.nSeconds, head.nNanoseconds, name);
            return true;
        }
        case RECORD_COUNTS:
        {
            CCountsRecord counts;
            if (!Take(counts))
                return false;
            if (pSink != nullptr)
                pSink->OnCounts(counts);
            return true;
        }
        case RECORD_FAILED:
        {
            CFailedRecord failed;
            if (!Take(failed) || failed.nError <= 0)
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
