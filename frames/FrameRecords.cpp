#include "frames/FrameRecords.h"

#include "dns/DnsName.h"

#include <algorithm>
#include <cstring>

using namespace Channel;

namespace {

template <class TValue>
void PutValue(char*& p, TValue value)
{
    std::memcpy(p, &value, sizeof(value));
    p += sizeof(value);
}

std::uint16_t Clamp16(size_t n)
{
    return static_cast<std::uint16_t>(std::min<size_t>(n, UINT16_MAX));
}

} // namespace

bool CResponseRecordMaker::Make(const unsigned char* pFrame, size_t nLength, std::int64_t nSeconds,
                                std::uint32_t nNanoseconds, EChecksumHint hint)
{
    CQueryFacts facts;
    size_t nMessage = 0, nMessageLength = 0;
    EChecksum eChecksum = EChecksum::SOUND;
    if (!FindDnsResponse(pFrame, nLength, facts, nMessage, nMessageLength, hint, eChecksum))
        return false;
    m_record = CResponseRecord();
    m_record.facts.nSeconds = nSeconds;
    m_record.facts.nNanoseconds = nNanoseconds;
    CopyQueryFacts(facts, &m_record.facts);
    // What the asker's kernel dropped is not read any further: it is only counted.
    if (eChecksum == EChecksum::WRONG)
    {
        m_record.nFlags = RESPONSE_CHECKSUM_WRONG;
        m_nTail = 0;
        return true;
    }
    m_response = CDnsResponse();
    DecodeDnsResponse(pFrame + nMessage, nMessageLength, m_text, m_answers, m_response);
    if (!m_response.bResponse)
        return false;
    m_record.facts.nDnsId = m_response.nId;
    m_record.facts.bHasType = m_response.bHasQuestion ? 1 : 0;
    m_record.facts.nQueryType = m_response.bHasQuestion ? m_response.nQuestionType : 0;
    m_record.nRcode = m_response.nRcode;
    m_record.nFlags =
        (m_response.bTruncated ? RESPONSE_TRUNCATED : 0) | (m_response.bAuthoritative ? RESPONSE_AUTHORITATIVE : 0)
        | (m_response.bRecursionAvailable ? RESPONSE_RECURSION_AVAILABLE : 0)
        | (m_response.bRecursionDesired ? RESPONSE_RECURSION_DESIRED : 0) | (m_response.ttlMin ? RESPONSE_HAS_TTL : 0)
        | (eChecksum == EChecksum::UNCHECKED ? RESPONSE_CHECKSUM_UNCHECKED : 0)
        | (m_response.bAuthenticData ? RESPONSE_AUTHENTIC_DATA : 0)
        | (m_response.bCheckingDisabled ? RESPONSE_CHECKING_DISABLED : 0);
    m_record.anCounts[0] = m_response.nQuestionCount;
    m_record.anCounts[1] = m_response.nAnswerCount;
    m_record.anCounts[2] = m_response.nAuthorityCount;
    m_record.anCounts[3] = m_response.nAdditionalCount;
    m_record.nTtlMin = m_response.ttlMin.value_or(0);
    m_record.nAnswersLeftOut = Clamp16(m_response.nLeftOut);
    m_record.nAnswersMissing = Clamp16(m_response.nMissing);
    m_record.nAnswersMalformed = Clamp16(m_response.nMalformed);

    const std::string_view name = m_response.QuestionName();
    m_record.nLength = static_cast<std::uint16_t>(std::min(name.size(), MAX_NAME_BYTES));
    char* p = m_tail;
    std::memcpy(p, name.data(), m_record.nLength);
    p += m_record.nLength;
    char* const pAnswers = p;
    for (size_t i = 0; i < m_response.nRecords; ++i)
    {
        const CAnswerRecord& answer = m_answers[i];
        PutValue(p, answer.nType);
        PutValue(p, answer.nTtl);
        PutValue(p, static_cast<std::uint16_t>(answer.strOwner.size()));
        std::memcpy(p, answer.strOwner.data(), answer.strOwner.size());
        p += answer.strOwner.size();
        PutValue(p, static_cast<std::uint16_t>(answer.strData.size()));
        std::memcpy(p, answer.strData.data(), answer.strData.size());
        p += answer.strData.size();
    }
    m_record.nAnswers = static_cast<std::uint16_t>(m_response.nRecords);
    m_record.nAnswersLength = static_cast<std::uint16_t>(p - pAnswers);
    m_nTail = size_t(p - m_tail);
    return true;
}

CFrameRecords::Kind CFrameRecords::Make(const unsigned char* pFrame, size_t nLength, std::int64_t nSeconds,
                                        std::uint32_t nNanoseconds, Wants nWants, EChecksumHint hint)
{
    size_t nNameLength = 0;
    if (ExtractQueryName(pFrame, nLength, m_szName, nNameLength, &m_facts))
    {
        m_query = CNameRecord();
        m_query.facts.nSeconds = nSeconds;
        m_query.facts.nNanoseconds = nNanoseconds;
        CopyQueryFacts(m_facts, &m_query.facts);
        m_query.nLength = static_cast<std::uint16_t>(nNameLength);
        // A file may say any time, but records keep to what a packet socket can hand out (from the
        // epoch to the end of year 9999), and the lines after them can write nothing else.
        return m_query.IsValid() ? QUERY : NONE;
    }
    if (nWants == WANTS_EXCHANGES && m_response.Make(pFrame, nLength, nSeconds, nNanoseconds, hint))
        return m_response.GetRecord().IsValid() ? RESPONSE : NONE;
    if (m_pEncrypted != nullptr && m_pEncrypted->Make(pFrame, nLength, nSeconds, nNanoseconds))
        return ENCRYPTED;
    return NONE;
}

CTimedNameRecord CFrameRecords::GetTimedName() const
{
    CTimedNameRecord timed;
    timed.nSeconds = m_query.facts.nSeconds;
    timed.nLength = m_query.nLength;
    return timed;
}
