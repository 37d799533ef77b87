#include "dns/DnsResponse.h"
#include "dns/DnsLayout.h"
#include "dns/PacketBytes.h"
#include "dns/PresentationForm.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr unsigned MAX_POINTER_HOPS = 128; // a 255-byte name has at most 127 labels to point at
constexpr unsigned char MAX_LABEL_LENGTH = 63;
constexpr unsigned char POINTER_BITS = 0xC0;

constexpr std::uint16_t TYPE_A = 1;
constexpr std::uint16_t TYPE_NS = 2;
constexpr std::uint16_t TYPE_CNAME = 5;
constexpr std::uint16_t TYPE_SOA = 6;
constexpr std::uint16_t TYPE_PTR = 12;
constexpr std::uint16_t TYPE_MX = 15;
constexpr std::uint16_t TYPE_TXT = 16;
constexpr std::uint16_t TYPE_AAAA = 28;
constexpr std::uint16_t TYPE_SRV = 33;
constexpr std::uint16_t TYPE_SVCB = 64;
constexpr std::uint16_t TYPE_HTTPS = 65;

constexpr std::uint16_t SVC_ALPN = 1;
constexpr std::uint16_t SVC_NO_DEFAULT_ALPN = 2;
constexpr std::uint16_t SVC_PORT = 3;
constexpr std::uint16_t SVC_IPV4HINT = 4;
constexpr std::uint16_t SVC_ECH = 5;
constexpr std::uint16_t SVC_IPV6HINT = 6;

// Appends to the caller's text and never past it. What does not fit sets the full mark and writes
// nothing; the record being written is then rewound as a whole. Once a record has been left out,
// discarding keeps the later ones from being written while they are still read and checked.
class CTextWriter
{
public:
    explicit CTextWriter(std::span<char> text) : m_text(text) {}

    void append(const char* p, size_t n)
    {
        if (m_bDiscard)
            return;
        if (m_bFull || n > m_text.size() - m_nLength)
        {
            m_bFull = true;
            return;
        }
        if (n > 0)
            std::memcpy(m_text.data() + m_nLength, p, n);
        m_nLength += n;
    }
    void Put(char c) { append(&c, 1); }
    void Put(std::string_view str) { append(str.data(), str.size()); }
    void PutNumber(std::uint32_t n)
    {
        char digits[10];
        const auto result = std::to_chars(digits, digits + sizeof(digits), n);
        append(digits, size_t(result.ptr - digits));
    }
    // \DDD: the escape of the presentation form, for bytes it leaves alone too.
    void PutEscaped(unsigned char b)
    {
        const char escaped[4] = {'\\', char('0' + b / 100), char('0' + b / 10 % 10), char('0' + b % 10)};
        append(escaped, sizeof(escaped));
    }

    size_t GetLength() const { return m_nLength; }
    bool IsFull() const { return m_bFull; }
    void Rewind(size_t nLength)
    {
        m_nLength = nLength;
        m_bFull = false;
    }
    void MarkFull() { m_bFull = true; }
    void Discard() { m_bDiscard = true; }
    bool IsDiscarding() const { return m_bDiscard; }
    std::string_view View(size_t nFrom) const
    {
        return m_bDiscard ? std::string_view() : std::string_view(m_text.data() + nFrom, m_nLength - nFrom);
    }

private:
    std::span<char> m_text;
    size_t m_nLength = 0;
    bool m_bFull = false;
    bool m_bDiscard = false;
};

// Walks the wire name at nOffset, handing each label to onLabel, and sets nEnd to where the name
// ends in place (after its zero byte, or after its first pointer).
template <class TOnLabel>
EDnsProblem WalkName(const CPacketBytes& bytes, size_t nOffset, size_t& nEnd, TOnLabel&& onLabel)
{
    size_t nPos = nOffset;
    size_t nWireLength = 1; // the zero byte
    unsigned nHops = 0;
    bool bJumped = false;
    for (;;)
    {
        unsigned char b = 0;
        if (!bytes.GetByte(nPos, b))
            return EDnsProblem::NAME_CUT;
        if (b == 0)
        {
            if (!bJumped)
                nEnd = nPos + 1;
            return EDnsProblem::NONE;
        }
        if ((b & POINTER_BITS) == POINTER_BITS)
        {
            unsigned char bLow = 0;
            if (!bytes.GetByte(nPos + 1, bLow))
                return EDnsProblem::NAME_CUT;
            if (!bJumped)
                nEnd = nPos + 2;
            bJumped = true;
            const size_t nTarget = (size_t(b & ~POINTER_BITS) << 8) | bLow;
            if (nTarget >= bytes.GetLength())
                return EDnsProblem::POINTER_OUTSIDE;
            if (nTarget >= nPos)
                return EDnsProblem::POINTER_FORWARD;
            if (++nHops > MAX_POINTER_HOPS)
                return EDnsProblem::NAME_TOO_LONG;
            nPos = nTarget;
            continue;
        }
        if (b > MAX_LABEL_LENGTH)
            return EDnsProblem::LABEL_TOO_LONG;
        nWireLength += 1 + size_t(b);
        if (nWireLength > MAX_WIRE_NAME_LENGTH)
            return EDnsProblem::NAME_TOO_LONG;
        unsigned char label[MAX_LABEL_LENGTH];
        if (!bytes.CopyBytes(nPos + 1, b, label))
            return EDnsProblem::NAME_CUT;
        onLabel(std::string_view(reinterpret_cast<const char*>(label), b));
        nPos += 1 + size_t(b);
    }
}

// The name in presentation form, with a '.' inside a label escaped so it cannot pass for two labels,
// and a space or ';' so that it cannot end the name, nor the answer, where answers are joined.
EDnsProblem WriteName(const CPacketBytes& bytes, size_t nOffset, size_t& nEnd, CTextWriter& writer)
{
    bool bFirst = true;
    const EDnsProblem eProblem = WalkName(bytes, nOffset, nEnd, [&](std::string_view label) {
        if (!bFirst)
            writer.Put('.');
        bFirst = false;
        for (const char c : label)
        {
            const auto b = static_cast<unsigned char>(c);
            if (IsEscapedInPresentation(b) || b == '.' || b == ' ' || b == ';')
                writer.PutEscaped(b);
            else
                writer.Put(c);
        }
    });
    if (eProblem == EDnsProblem::NONE && bFirst)
        writer.Put('.');
    return eProblem;
}

// Reads the fields of one record's data, never past its end, which RDLENGTH set.
class CDataReader
{
public:
    CDataReader(const CPacketBytes& bytes, size_t nFrom, size_t nEnd) : m_bytes(bytes), m_nPos(nFrom), m_nEnd(nEnd) {}

    bool Byte(unsigned char& b) { return Left() >= 1 && m_bytes.GetByte(m_nPos++, b); }
    bool Uint16(std::uint16_t& n)
    {
        if (Left() < 2 || !m_bytes.GetUint16(m_nPos, n))
            return false;
        m_nPos += 2;
        return true;
    }
    bool Uint32(std::uint32_t& n)
    {
        std::uint16_t nHigh = 0, nLow = 0;
        if (Left() < 4 || !Uint16(nHigh) || !Uint16(nLow))
            return false;
        n = (std::uint32_t(nHigh) << 16) | nLow;
        return true;
    }
    bool Bytes(size_t nCount, unsigned char* pTarget)
    {
        if (Left() < nCount || !m_bytes.CopyBytes(m_nPos, nCount, pTarget))
            return false;
        m_nPos += nCount;
        return true;
    }
    // A name inside the data; its in-place bytes must end within the data.
    EDnsProblem Name(CTextWriter& writer)
    {
        size_t nEnd = 0;
        const EDnsProblem eProblem = WriteName(m_bytes, m_nPos, nEnd, writer);
        if (eProblem != EDnsProblem::NONE)
            return eProblem;
        if (nEnd > m_nEnd)
            return EDnsProblem::DATA_MALFORMED;
        m_nPos = nEnd;
        return EDnsProblem::NONE;
    }
    bool Skip(size_t nCount)
    {
        if (Left() < nCount)
            return false;
        m_nPos += nCount;
        return true;
    }
    // The next nCount bytes alone (which the caller has checked are there).
    CDataReader Take(size_t nCount) const { return CDataReader(m_bytes, m_nPos, m_nPos + nCount); }
    size_t Left() const { return m_nEnd - m_nPos; }
    bool AtEnd() const { return m_nPos == m_nEnd; }

private:
    const CPacketBytes& m_bytes;
    size_t m_nPos;
    size_t m_nEnd;
};

bool WriteIpv4(CDataReader& reader, CTextWriter& writer)
{
    unsigned char address[4];
    if (!reader.Bytes(sizeof(address), address))
        return false;
    for (size_t i = 0; i < sizeof(address); ++i)
    {
        if (i > 0)
            writer.Put('.');
        writer.PutNumber(address[i]);
    }
    return true;
}

bool WriteIpv6(CDataReader& reader, CTextWriter& writer)
{
    unsigned char address[16];
    char szText[INET6_ADDRSTRLEN];
    if (!reader.Bytes(sizeof(address), address) || inet_ntop(AF_INET6, address, szText, sizeof(szText)) == nullptr)
        return false;
    writer.Put(szText);
    return true;
}

void WriteBase64(CDataReader& reader, CTextWriter& writer)
{
    static constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (!reader.AtEnd())
    {
        const size_t nTaken = std::min<size_t>(reader.Left(), 3);
        unsigned char group[3] = {};
        reader.Bytes(nTaken, group);
        const unsigned nGroup = (unsigned(group[0]) << 16) | (unsigned(group[1]) << 8) | group[2];
        const char quad[4] = {DIGITS[nGroup >> 18], DIGITS[(nGroup >> 12) & 63],
                              nTaken > 1 ? DIGITS[(nGroup >> 6) & 63] : '=', nTaken > 2 ? DIGITS[nGroup & 63] : '='};
        writer.append(quad, sizeof(quad));
    }
}

// One SvcParam's value: all of value, which holds nothing else.
bool WriteSvcParam(std::uint16_t nKey, CDataReader value, CTextWriter& writer)
{
    unsigned char b = 0;
    switch (nKey)
    {
    case SVC_ALPN:
        if (value.AtEnd())
            return false;
        writer.Put("alpn=\"");
        for (bool bFirst = true; !value.AtEnd(); bFirst = false)
        {
            unsigned char nId = 0;
            if (!value.Byte(nId) || nId == 0 || nId > value.Left())
                return false;
            if (!bFirst)
                writer.Put(',');
            while (nId-- > 0 && value.Byte(b))
            {
                if (IsEscapedInPresentation(b) || b == ',' || b == '"')
                    writer.PutEscaped(b);
                else
                    writer.Put(char(b));
            }
        }
        writer.Put('"');
        return true;
    case SVC_NO_DEFAULT_ALPN:
        writer.Put("no-default-alpn");
        return value.AtEnd();
    case SVC_PORT:
    {
        std::uint16_t nPort = 0;
        if (!value.Uint16(nPort) || !value.AtEnd())
            return false;
        writer.Put("port=");
        writer.PutNumber(nPort);
        return true;
    }
    case SVC_IPV4HINT:
    case SVC_IPV6HINT:
    {
        const bool bIpv4 = nKey == SVC_IPV4HINT;
        const size_t nSize = bIpv4 ? 4 : 16;
        if (value.AtEnd() || value.Left() % nSize != 0)
            return false;
        writer.Put(bIpv4 ? "ipv4hint=" : "ipv6hint=");
        for (bool bFirst = true; !value.AtEnd(); bFirst = false)
        {
            if (!bFirst)
                writer.Put(',');
            if (!(bIpv4 ? WriteIpv4(value, writer) : WriteIpv6(value, writer)))
                return false;
        }
        return true;
    }
    case SVC_ECH:
        if (value.AtEnd())
            return false;
        writer.Put("ech=");
        WriteBase64(value, writer);
        return true;
    default:
        writer.Put("key");
        writer.PutNumber(nKey);
        writer.Put("=\"");
        while (value.Byte(b))
            writer.PutEscaped(b);
        writer.Put('"');
        return true;
    }
}

EDnsProblem WriteSvcb(CDataReader& reader, CTextWriter& writer)
{
    std::uint16_t nPriority = 0;
    if (!reader.Uint16(nPriority))
        return EDnsProblem::DATA_MALFORMED;
    writer.PutNumber(nPriority);
    writer.Put(' ');
    if (const EDnsProblem eProblem = reader.Name(writer); eProblem != EDnsProblem::NONE)
        return eProblem;
    // Keys come in strictly increasing order, so none can be given twice.
    std::optional<std::uint16_t> lastKey;
    while (!reader.AtEnd())
    {
        std::uint16_t nKey = 0, nLength = 0;
        if (!reader.Uint16(nKey) || !reader.Uint16(nLength) || (lastKey && nKey <= *lastKey))
            return EDnsProblem::DATA_MALFORMED;
        lastKey = nKey;
        writer.Put(' ');
        CDataReader value = reader;
        if (!reader.Skip(nLength) || !WriteSvcParam(nKey, value.Take(nLength), writer))
            return EDnsProblem::DATA_MALFORMED;
    }
    return EDnsProblem::NONE;
}

EDnsProblem WriteTxt(CDataReader& reader, CTextWriter& writer)
{
    if (reader.AtEnd())
        return EDnsProblem::DATA_MALFORMED;
    for (bool bFirst = true; !reader.AtEnd(); bFirst = false)
    {
        unsigned char nLength = 0;
        unsigned char text[255];
        if (!reader.Byte(nLength) || !reader.Bytes(nLength, text))
            return EDnsProblem::DATA_MALFORMED;
        if (!bFirst)
            writer.Put(' ');
        writer.Put('"');
        for (size_t i = 0; i < nLength; ++i)
        {
            if (text[i] == '"')
                writer.Put("\\\"");
            else if (IsEscapedInPresentation(text[i]))
                writer.PutEscaped(text[i]);
            else
                writer.Put(char(text[i]));
        }
        writer.Put('"');
    }
    return EDnsProblem::NONE;
}

// The data in the form its type has; DATA_MALFORMED, or a name's problem, when it does not fit that
// form exactly.
EDnsProblem WriteTypedData(std::uint16_t nType, CDataReader& reader, CTextWriter& writer)
{
    EDnsProblem eProblem = EDnsProblem::NONE;
    std::uint16_t n16 = 0;
    std::uint32_t n32 = 0;
    switch (nType)
    {
    case TYPE_A:
        if (!WriteIpv4(reader, writer))
            return EDnsProblem::DATA_MALFORMED;
        break;
    case TYPE_AAAA:
        if (!WriteIpv6(reader, writer))
            return EDnsProblem::DATA_MALFORMED;
        break;
    case TYPE_NS:
    case TYPE_CNAME:
    case TYPE_PTR:
        eProblem = reader.Name(writer);
        break;
    case TYPE_MX:
        if (!reader.Uint16(n16))
            return EDnsProblem::DATA_MALFORMED;
        writer.PutNumber(n16);
        writer.Put(' ');
        eProblem = reader.Name(writer);
        break;
    case TYPE_SRV:
        for (int i = 0; i < 3; ++i)
        {
            if (!reader.Uint16(n16))
                return EDnsProblem::DATA_MALFORMED;
            writer.PutNumber(n16);
            writer.Put(' ');
        }
        eProblem = reader.Name(writer);
        break;
    case TYPE_SOA:
        for (int i = 0; i < 2 && eProblem == EDnsProblem::NONE; ++i)
        {
            eProblem = reader.Name(writer);
            writer.Put(' ');
        }
        for (int i = 0; i < 5 && eProblem == EDnsProblem::NONE; ++i)
        {
            if (!reader.Uint32(n32))
                return EDnsProblem::DATA_MALFORMED;
            if (i > 0)
                writer.Put(' ');
            writer.PutNumber(n32);
        }
        break;
    case TYPE_TXT:
        eProblem = WriteTxt(reader, writer);
        break;
    case TYPE_SVCB:
    case TYPE_HTTPS:
        eProblem = WriteSvcb(reader, writer);
        break;
    default:
        return EDnsProblem::DATA_MALFORMED; // not a type read here: the caller writes the generic form
    }
    if (eProblem == EDnsProblem::NONE && !reader.AtEnd())
        return EDnsProblem::DATA_MALFORMED;
    return eProblem;
}

bool IsTypeRead(std::uint16_t nType)
{
    switch (nType)
    {
    case TYPE_A:
    case TYPE_NS:
    case TYPE_CNAME:
    case TYPE_SOA:
    case TYPE_PTR:
    case TYPE_MX:
    case TYPE_TXT:
    case TYPE_AAAA:
    case TYPE_SRV:
    case TYPE_SVCB:
    case TYPE_HTTPS:
        return true;
    default:
        return false;
    }
}

// The form that reads back to the bytes whatever they are.
void WriteGenericData(CDataReader reader, CTextWriter& writer)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    writer.Put("\\# ");
    writer.PutNumber(std::uint32_t(reader.Left()));
    if (!reader.AtEnd())
        writer.Put(' ');
    unsigned char b = 0;
    while (reader.Byte(b))
    {
        const char digits[2] = {HEX[b >> 4], HEX[b & 15]};
        writer.append(digits, sizeof(digits));
    }
}

// Steps over the question, keeping the first one's name as raw bytes joined by '.'.
EDnsProblem ReadQuestions(const CPacketBytes& bytes, size_t& nPos, CDnsResponse& response)
{
    for (unsigned i = 0; i < response.nQuestionCount; ++i)
    {
        if (nPos >= bytes.GetLength())
            return EDnsProblem::MESSAGE_ENDED;
        size_t nLength = 0;
        size_t nEnd = 0;
        EDnsProblem eProblem = WalkName(bytes, nPos, nEnd, [&](std::string_view label) {
            if (i > 0)
                return;
            if (nLength > 0)
                response.szQuestionName[nLength++] = '.';
            label.copy(response.szQuestionName + nLength, label.size());
            nLength += label.size();
        });
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
            response.szQuestionName[nLength] = '\0';
            response.nQuestionNameLength = nLength;
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
    if (IsTypeRead(record.nType))
    {
        CDataReader typed = reader;
        record.eDataProblem = WriteTypedData(record.nType, typed, writer);
    }
    if (!IsTypeRead(record.nType) || record.eDataProblem != EDnsProblem::NONE)
    {
        writer.Rewind(nDataFrom);
        WriteGenericData(reader, writer);
    }
    if (bOwnerFull)
        writer.MarkFull();
    record.strData = writer.View(nDataFrom);
    return EDnsProblem::NONE;
}

} // namespace

const char* DnsProblemText(EDnsProblem eProblem)
{
    switch (eProblem)
    {
    case EDnsProblem::NONE:
        return "none";
    case EDnsProblem::HEADER_CUT:
        return "header cut";
    case EDnsProblem::MESSAGE_ENDED:
        return "message ended";
    case EDnsProblem::RECORD_CUT:
        return "record cut";
    case EDnsProblem::NAME_CUT:
        return "name cut";
    case EDnsProblem::LABEL_TOO_LONG:
        return "label too long";
    case EDnsProblem::NAME_TOO_LONG:
        return "name too long";
    case EDnsProblem::POINTER_FORWARD:
        return "pointer forward";
    case EDnsProblem::POINTER_OUTSIDE:
        return "pointer outside";
    case EDnsProblem::DATA_MALFORMED:
        return "data malformed";
    }
    return "unknown";
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
    response.nRcode = static_cast<std::uint8_t>(nFlags & 0x0F);
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
    return response.eProblem == EDnsProblem::NONE;
}
