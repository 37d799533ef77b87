#include "dns/DnsResponse.h"
#include "dns/DnsData.h"
#include "dns/DnsLayout.h"
#include "dns/PacketBytes.h"
#include "dns/PresentationForm.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>

using namespace DnsData;

namespace {

constexpr std::uint16_t TYPE_OPT = 41;

// Steps over the question, keeping the first one's name in the form the question decoder gives a
// query's name: its labels in the master-file form joined by '.', the root as ".".
EDnsProblem ReadQuestions(const CPacketBytes& bytes, size_t& nPos, CDnsResponse& response)
{
    for (unsigned i = 0; i < response.nQuestionCount; ++i)
    {
        if (nPos >= bytes.GetLength())
            return EDnsProblem::MESSAGE_ENDED;
        struct CNameText
        {
            char* p;
            size_t nLength = 0;
            void append(const char* pFrom, size_t n)
            {
                std::memcpy(p + nLength, pFrom, n);
                nLength += n;
            }
        } name {response.szQuestionName};
        size_t nEnd = 0;
        // 255 wire bytes take at most 4 text bytes each: the text always fits.
        EDnsProblem eProblem = WalkName(bytes, nPos, nEnd, [&](std::string_view label) {
            if (i > 0)
                return;
            if (name.nLength > 0)
                name.append(".", 1);
            AppendNameLabel(name, label);
        });
        if (i == 0 && eProblem == EDnsProblem::NONE && name.nLength == 0)
            name.append(".", 1);
        std::uint16_t nType = 0, nClass = 0;
        if (eProblem == EDnsProblem::NONE && (!bytes.GetUint16(nEnd, nType) || !bytes.GetUint16(nEnd + 2, nClass)))
            eProblem = EDnsProblem::RECORD_CUT;
        if (eProblem != EDnsProblem::NONE)
        {
            // Part of a name is no name: the text is left as empty as the question.
            if (i == 0)
                response.szQuestionName[0] = '\0';
            return eProblem;
        }
        nPos = nEnd + 4;
        if (i == 0)
        {
            response.bHasQuestion = true;
            response.szQuestionName[name.nLength] = '\0';
            response.nQuestionNameLength = name.nLength;
            response.nQuestionType = nType;
            response.nQuestionClass = nClass;
        }
    }
    return EDnsProblem::NONE;
}

constexpr size_t RECORD_FIXED_SIZE = 10; // type, class, TTL, RDLENGTH

// Reads one answer at nPos into record, writing its text. A problem returned ends the section.
EDnsProblem ReadAnswer(const CPacketBytes& bytes, size_t& nPos, CTextWriter& writer, CAnswerRecord& record)
{
    if (nPos >= bytes.GetLength())
        return EDnsProblem::MESSAGE_ENDED;
    const size_t nOwnerFrom = writer.GetLength();
    size_t nEnd = 0;
    if (const EDnsProblem eProblem = WriteName(bytes, nPos, nEnd, writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    record.strOwner = writer.View(nOwnerFrom);
    // Rewinding the data below must not forget that the owner alone did not fit.
    const bool bOwnerFull = writer.IsFull();

    unsigned char fixed[RECORD_FIXED_SIZE];
    if (!bytes.GetHeader(nEnd, fixed))
        return EDnsProblem::RECORD_CUT;
    record.nType = Uint16At<0>(fixed);
    record.nClass = Uint16At<2>(fixed);
    record.nTtl = (std::uint32_t(Uint16At<4>(fixed)) << 16) | Uint16At<6>(fixed);
    const size_t nData = nEnd + RECORD_FIXED_SIZE;
    const size_t nDataEnd = nData + Uint16At<8>(fixed);
    if (nDataEnd > bytes.GetLength())
        return EDnsProblem::RECORD_CUT;
    nPos = nDataEnd;

    const size_t nDataFrom = writer.GetLength();
    const CDataReader reader(bytes, nData, nDataEnd);
    record.eDataProblem = EDnsProblem::NONE;
    const FWriteData pfnWrite = FindDataWriter(record.nType);
    if (pfnWrite != nullptr)
    {
        CDataReader typed = reader;
        record.eDataProblem = pfnWrite(typed, writer);
    }
    if (pfnWrite == nullptr || record.eDataProblem != EDnsProblem::NONE)
    {
        writer.Rewind(nDataFrom);
        WriteGenericData(reader, writer);
    }
    if (bOwnerFull)
        writer.MarkFull();
    record.strData = writer.View(nDataFrom);
    return EDnsProblem::NONE;
}

// The OPT record among the authority and additional records: its TTL field carries the upper
// eight bits of the response code. The records are only stepped over; what cannot be read ends
// the search and changes nothing.
void FindOpt(const CPacketBytes& bytes, size_t nPos, CDnsResponse& response)
{
    const unsigned nRecords = unsigned(response.nAuthorityCount) + response.nAdditionalCount;
    for (unsigned i = 0; i < nRecords; ++i)
    {
        size_t nEnd = 0;
        if (WalkName(bytes, nPos, nEnd, [](std::string_view) {}) != EDnsProblem::NONE)
            return;
        unsigned char fixed[RECORD_FIXED_SIZE];
        if (!bytes.GetHeader(nEnd, fixed))
            return;
        if (i >= response.nAuthorityCount && Uint16At<0>(fixed) == TYPE_OPT)
        {
            response.bHasOpt = true;
            response.nRcode = static_cast<std::uint16_t>((unsigned(ByteAt<4>(fixed)) << 4) | response.nRcode);
            return;
        }
        nPos = nEnd + RECORD_FIXED_SIZE + Uint16At<8>(fixed);
    }
}

} // namespace

const char* DnsProblemText(EDnsProblem eProblem)
{
    // In the order of EDnsProblem, one row each.
    constexpr const char* TEXTS[] = {
        "none",           "header cut",    "message ended",   "record cut",      "name cut",
        "label too long", "name too long", "pointer forward", "pointer outside", "data malformed"};
    static_assert(std::size(TEXTS) == size_t(EDnsProblem::DATA_MALFORMED) + 1);
    const auto nProblem = static_cast<size_t>(eProblem);
    return nProblem < std::size(TEXTS) ? TEXTS[nProblem] : "unknown";
}

bool DecodeDnsResponse(const unsigned char* pMessage, size_t nLength, std::span<char> text,
                       std::span<CAnswerRecord> records, CDnsResponse& response)
{
    response = CDnsResponse();
    const CPacketBytes bytes(pMessage, nLength);
    unsigned char header[DNS_HEADER_SIZE];
    if (!bytes.GetHeader(0, header))
    {
        response.eProblem = EDnsProblem::HEADER_CUT;
        return false;
    }
    response.nId = Uint16At<0>(header);
    const std::uint16_t nFlags = Uint16At<2>(header);
    response.bResponse = (nFlags & 0x8000) != 0;
    response.nOpcode = static_cast<std::uint8_t>((nFlags >> 11) & 0x0F);
    response.bAuthoritative = (nFlags & 0x0400) != 0;
    response.bTruncated = (nFlags & 0x0200) != 0;
    response.bRecursionDesired = (nFlags & 0x0100) != 0;
    response.bRecursionAvailable = (nFlags & 0x0080) != 0;
    response.bAuthenticData = (nFlags & 0x0020) != 0;
    response.bCheckingDisabled = (nFlags & 0x0010) != 0;
    response.nRcode = static_cast<std::uint16_t>(nFlags & 0x0F);
    response.nQuestionCount = Uint16At<4>(header);
    response.nAnswerCount = Uint16At<6>(header);
    response.nAuthorityCount = Uint16At<8>(header);
    response.nAdditionalCount = Uint16At<10>(header);

    size_t nPos = DNS_HEADER_SIZE;
    response.eProblem = ReadQuestions(bytes, nPos, response);
    CTextWriter writer(text);
    size_t nRead = 0;
    for (; nRead < response.nAnswerCount && response.eProblem == EDnsProblem::NONE; ++nRead)
    {
        CAnswerRecord record;
        const size_t nRecordFrom = writer.GetLength();
        response.eProblem = ReadAnswer(bytes, nPos, writer, record);
        if (response.eProblem != EDnsProblem::NONE)
        {
            writer.Rewind(nRecordFrom);
            break;
        }
        response.ttlMin = response.ttlMin ? std::min(*response.ttlMin, record.nTtl) : record.nTtl;
        response.nMalformed += record.eDataProblem != EDnsProblem::NONE;
        if (!writer.IsDiscarding() && !writer.IsFull() && response.nRecords < records.size())
        {
            records[response.nRecords++] = record;
            continue;
        }
        writer.Rewind(nRecordFrom);
        writer.Discard();
        ++response.nLeftOut;
    }
    response.nMissing = response.nAnswerCount - nRead;
    response.nTextLength = writer.GetLength();
    if (response.eProblem == EDnsProblem::NONE)
        FindOpt(bytes, nPos, response);
    return response.eProblem == EDnsProblem::NONE;
}
