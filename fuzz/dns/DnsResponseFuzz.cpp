// Feeds arbitrary bytes to the response decoder as one DNS message. The input is libFuzzer's own
// exact-size copy and the text and record arrays are heap blocks of exactly the size the decoder is
// given, so AddressSanitizer catches a read or write past any of them. The message is read twice:
// with room for everything, and within the bounds the capture helper uses. The bounded reading
// must be the first answers of the full one, word for word, with the rest counted as left out, and
// both must agree on everything else. Every answer's text must be printable ASCII.

#include "dns/DnsResponse.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>

namespace {

[[noreturn]] void Fail(const char* pszWhat)
{
    std::fprintf(stderr, "DnsResponseFuzz: %s\n", pszWhat);
    std::abort();
}

void Check(bool bTrue, const char* pszWhat)
{
    if (!bTrue)
        Fail(pszWhat);
}

struct CReading
{
    size_t m_nTextSize, m_nRecordCount;
    std::unique_ptr<char[]> m_text;
    std::unique_ptr<CAnswerRecord[]> m_records;
    CDnsResponse m_response;
    bool m_bComplete;

    CReading(const uint8_t* pData, size_t nSize, size_t nTextSize, size_t nRecordCount)
        : m_nTextSize(nTextSize)
        , m_nRecordCount(nRecordCount)
        , m_text(new char[nTextSize])
        , m_records(new CAnswerRecord[nRecordCount])
    {
        m_bComplete = DecodeDnsResponse(pData, nSize, std::span(m_text.get(), nTextSize),
                                        std::span(m_records.get(), nRecordCount), m_response);
        const CDnsResponse& r = m_response;
        Check(m_bComplete == (r.eProblem == EDnsProblem::NONE), "the answer and the problem disagree");
        Check(r.nRecords <= nRecordCount && r.nTextLength <= nTextSize, "more written than there was room for");
        Check(r.nRecords + r.nLeftOut + r.nMissing == r.nAnswerCount, "the counts do not add up to ANCOUNT");
        Check(r.ttlMin.has_value() == (r.nRecords + r.nLeftOut > 0), "a smallest TTL without answers, or none with");
        Check(r.nQuestionNameLength < sizeof(r.szQuestionName) && r.szQuestionName[r.nQuestionNameLength] == '\0',
              "the question name is not terminated within its buffer");
        Check(r.bHasQuestion || r.nQuestionNameLength == 0, "a question name without a question");
        for (size_t i = 0; i < r.nRecords; ++i)
        {
            const CAnswerRecord& record = m_records[i];
            for (const std::string_view str : {record.strOwner, record.strData})
            {
                Check(str.data() >= m_text.get() && str.data() + str.size() <= m_text.get() + r.nTextLength,
                      "an answer's text lies outside the text written");
                for (const char c : str)
                    Check(c >= 0x20 && c <= 0x7e, "an answer's text holds a byte that is not printable ASCII");
            }
            Check(!record.strOwner.empty(), "an answer without an owner");
            Check(record.eDataProblem == EDnsProblem::NONE || record.strData.starts_with("\\# "),
                  "malformed data not in the generic form");
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    // Every answer takes at least 11 bytes of the message. Through pointers its owner and the two
    // names of an SOA give at most 1012 bytes of text each (253 bytes, each as \DDD), and the rest of
    // its text at most 4 bytes for each byte of its data: this is room for everything.
    const size_t nMostRecords = nSize / 11 + 1;
    const CReading full(pData, nSize, nMostRecords * 3200 + nSize * 4, nMostRecords);
    const CReading bounded(pData, nSize, 2048, 32);
    const CDnsResponse& f = full.m_response;
    const CDnsResponse& b = bounded.m_response;

    Check(f.nLeftOut == 0, "an answer left out although there was room for all");
    Check(b.nRecords + b.nLeftOut == f.nRecords, "the bounds changed how many answers were read");
    Check(b.eProblem == f.eProblem && b.nMissing == f.nMissing && b.nMalformed == f.nMalformed && b.ttlMin == f.ttlMin,
          "the bounds changed what was read");
    Check(b.QuestionName() == f.QuestionName() && b.nQuestionType == f.nQuestionType,
          "the bounds changed the question");
    for (size_t i = 0; i < b.nRecords; ++i)
    {
        const CAnswerRecord& x = bounded.m_records[i];
        const CAnswerRecord& y = full.m_records[i];
        Check(x.strOwner == y.strOwner && x.strData == y.strData && x.nType == y.nType && x.nTtl == y.nTtl
                  && x.eDataProblem == y.eDataProblem,
              "a bounded answer differs from the same answer read with room for all");
    }
    return 0;
}
