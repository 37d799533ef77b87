#include "dns/DnsLayout.h"
#include "dns/DnsName.h"
#include "dns/DnsResponse.h"
#include "dns/DnsTypes.h"
#include "dns/Ipv4.h"
#include "dns/Ipv6.h"
#include "TestFrames.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Wire bytes from a literal, embedded zero bytes included (the literal's own NUL is not).
template <size_t N>
CBytes Wire(const char (&s)[N])
{
    return CBytes(s, s + N - 1);
}

CBytes Uint16(unsigned n)
{
    return {static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
}

// Id 0x1234, and the four counts.
CBytes Header(unsigned nFlags, unsigned nQuestions, unsigned nAnswers, unsigned nAuthorities = 0)
{
    return Uint16(0x1234) + Uint16(nFlags) + Uint16(nQuestions) + Uint16(nAnswers) + Uint16(nAuthorities) + Uint16(0);
}

constexpr unsigned RESPONSE = 0x8180; // QR, RD, RA, NOERROR

// The question at offset 12, so that \xC0\x0C names "example.com" and \xC0\x14 "com".
const CBytes EXAMPLE_COM = Wire("\x07"
                                "example\x03"
                                "com\x00");

CBytes Question(const CBytes& name, unsigned nType)
{
    return name + Uint16(nType) + Uint16(1);
}

// A record of class IN.
CBytes Record(const CBytes& owner, unsigned nType, unsigned nTtl, const CBytes& data)
{
    return owner + Uint16(nType) + Uint16(1) + Uint16(nTtl >> 16) + Uint16(nTtl & 0xFFFF) + Uint16(data.size()) + data;
}

// A response to "example.com" of type nType holding the given answers.
CBytes Response(unsigned nType, const std::vector<CBytes>& answers)
{
    CBytes message = Header(RESPONSE, 1, unsigned(answers.size())) + Question(EXAMPLE_COM, nType);
    for (const CBytes& answer : answers)
        message = message + answer;
    return message;
}

const CBytes PTR_TO_QUESTION = Wire("\xC0\x0C");

struct CDecoded
{
    bool m_bComplete = false;
    CDnsResponse m_response;
    std::string m_strAnswers; // "owner TYPE ttl data" lines joined by '|'
    std::string m_strCounts;

    CDecoded(const CBytes& message, size_t nTextSize = 2048, size_t nRecordCount = 32)
    {
        // A fence behind the text shows a write past its end without a sanitizer.
        std::vector<char> text(nTextSize + 16, '\xA5');
        std::vector<CAnswerRecord> records(nRecordCount);
        m_bComplete =
            DecodeDnsResponse(message.data(), message.size(), std::span(text.data(), nTextSize), records, m_response);
        EXPECT_EQ(std::string(text.begin() + long(nTextSize), text.end()), std::string(16, '\xA5'));
        EXPECT_LE(m_response.nTextLength, nTextSize);
        for (size_t i = 0; i < m_response.nRecords; ++i)
        {
            const CAnswerRecord& record = records[i];
            m_strAnswers += (i > 0 ? "|" : "") + std::string(record.strOwner) + " " + DnsTypeName(record.nType) + " "
                            + std::to_string(record.nTtl) + " " + std::string(record.strData);
            if (record.eDataProblem != EDnsProblem::NONE)
                m_strAnswers += std::string(" (") + DnsProblemText(record.eDataProblem) + ")";
        }
        const CDnsResponse& r = m_response;
        EXPECT_EQ(r.szQuestionName[r.nQuestionNameLength], '\0');
        EXPECT_TRUE(r.bHasQuestion || r.nQuestionNameLength == 0);
        m_strCounts = "written " + std::to_string(r.nRecords) + ", left out " + std::to_string(r.nLeftOut)
                      + ", missing " + std::to_string(r.nMissing) + ", malformed " + std::to_string(r.nMalformed) + ", "
                      + DnsProblemText(r.eProblem);
    }
};

// Every type the table writes in a form of its own, as dig writes it: BIND's responses to the
// questions of tests/data/bind, kept with dig's answer section for the same question (captured once
// by tests/dns/capture-dig-answers.py). Answers are compared as sets: BIND may give an RRset's
// records in another order each time.
TEST(DnsResponse, EveryTypeReadsAsDigWritesIt)
{
    std::ifstream data(TARROW_TEST_DATA_DIR "/dig-answers.jsonl");
    ASSERT_TRUE(data.good());
    size_t nRows = 0;
    for (std::string strLine; std::getline(data, strLine); ++nRows)
    {
        const nlohmann::json row = nlohmann::json::parse(strLine);
        const std::string strHex = row["response"];
        CBytes message;
        for (size_t i = 0; i + 1 < strHex.size(); i += 2)
            message.push_back(static_cast<unsigned char>(std::stoi(strHex.substr(i, 2), nullptr, 16)));
        std::vector<char> text(16384);
        std::vector<CAnswerRecord> records(64);
        CDnsResponse response;
        EXPECT_TRUE(DecodeDnsResponse(message.data(), message.size(), text, records, response)) << row["question"];
        std::multiset<std::string> decoded, dig;
        for (size_t i = 0; i < response.nRecords; ++i)
            decoded.insert(std::string(records[i].strOwner) + " " + std::to_string(records[i].nTtl) + " "
                           + DnsTypeName(records[i].nType) + " " + std::string(records[i].strData));
        // owner, TTL, class, type, then the data as dig wrote it.
        for (const std::string strDig : row["dig"])
        {
            std::istringstream fields(strDig);
            std::string strOwner, strTtl, strClass, strType, strData;
            fields >> strOwner >> strTtl >> strClass >> strType >> std::ws;
            std::getline(fields, strData);
            dig.insert(strOwner + " " + strTtl + " " + strType + " " + strData);
        }
        EXPECT_EQ(decoded, dig) << row["question"];
    }
    EXPECT_GE(nRows, 50u);
}

// What BIND's zones do not hold: names through pointers, an empty string, data of no length.
TEST(DnsResponse, WireFeaturesDigNeverShows)
{
    const struct
    {
        const char* pszCase;
        CBytes message;
        const char* pszAnswers;
    } cases[] = {
        // www.example.com -> a.example.net -> b.example.net -> A; each name points back into the last.
        {"a CNAME chain through compression pointers",
         Header(RESPONSE, 1, 3)
             + Question(Wire("\x03www\x07"
                             "example\x03"
                             "com\x00"),
                        1)
             + Record(Wire("\xC0\x0C"), 5, 3600,
                      Wire("\x01"
                           "a\x07"
                           "example\x03"
                           "net\x00"))
             + Record(Wire("\xC0\x2D"), 5, 3600,
                      Wire("\x01"
                           "b\xC0\x2F"))
             + Record(Wire("\xC0\x48"), 1, 30, Wire("\x01\x02\x03\x04")),
         "www.example.com. CNAME 3600 a.example.net.|a.example.net. CNAME 3600 b.example.net.|b.example.net. A 30 "
         "1.2.3.4"},
        {"MX with the root as exchange, and an empty TXT string",
         Response(15, {Record(PTR_TO_QUESTION, 15, 300, Wire("\x00\x00\x00")),
                       Record(PTR_TO_QUESTION, 16, 300, Wire("\x00\x01x"))}),
         "example.com. MX 300 0 .|example.com. TXT 300 \"\" \"x\""},
        {"an alpn id that holds a comma and a backslash",
         Response(64, {Record(PTR_TO_QUESTION, 64, 300,
                              Wire("\x00\x02\x00\x00\x01\x00\x05\x04"
                                   "a,\\\""))}),
         "example.com. SVCB 300 2 . alpn=\"a\\\\,\\\\\\\\\\\"\""},
        {"types not read here in the generic form, of no length too",
         Response(65280, {Record(PTR_TO_QUESTION, 65280, 1, Wire("\x0a\x0b\xfc")), Record(PTR_TO_QUESTION, 10, 1, {})}),
         "example.com. TYPE65280 1 \\# 3 0A0BFC|example.com. NULL 1 \\# 0"},
    };
    for (const auto& c : cases)
    {
        const CDecoded decoded(c.message);
        EXPECT_TRUE(decoded.m_bComplete) << c.pszCase;
        EXPECT_EQ(decoded.m_strAnswers, c.pszAnswers) << c.pszCase;
        EXPECT_EQ(decoded.m_strCounts, "written " + std::to_string(decoded.m_response.nAnswerCount)
                                           + ", left out 0, missing 0, malformed 0, none")
            << c.pszCase;
    }
    const CDecoded chain(cases[0].message);
    EXPECT_EQ(chain.m_response.QuestionName(), "www.example.com");
    EXPECT_EQ(chain.m_response.ttlMin, 30u);
}

TEST(DnsResponse, HeaderAndQuestion)
{
    const struct
    {
        const char* pszCase;
        CBytes message;
        const char* pszHeader;   // QR opcode AA TC RD RA rcode, then the counts
        const char* pszQuestion; // name/type/class, or "none"
    } cases[] = {
        // The SOA in the authority section is not read.
        {"NXDOMAIN with no answers",
         Header(0x8583, 1, 0, 1) + Question(EXAMPLE_COM, 1) + Record(PTR_TO_QUESTION, 6, 60, Wire("\x01x")),
         "1 0 1 0 1 1 3, 1 0 1 0", "example.com/1/1"},
        {"a response without a question",
         Header(0x2E05, 0, 1)
             + Record(Wire("\x01"
                           "a\x00"),
                      1, 7, Wire("\x01\x02\x03\x04")),
         "0 5 1 1 0 0 5, 0 1 0 0", "none"},
        // Only the first is named; the second is stepped over to find the answer.
        {"two questions, a raw byte and a dot inside a label",
         Header(RESPONSE, 2, 1) + Question(Wire("\x03\x01.b\x00"), 16) + Question(EXAMPLE_COM, 1)
             + Record(Wire("\x00"), 1, 7, Wire("\x01\x02\x03\x04")),
         "1 0 0 0 1 1 0, 2 1 0 0", "\\001\\.b/16/1"},
    };
    for (const auto& c : cases)
    {
        const CDecoded decoded(c.message);
        const CDnsResponse& r = decoded.m_response;
        char szHeader[64];
        std::snprintf(szHeader, sizeof(szHeader), "%d %d %d %d %d %d %d, %u %u %u %u", r.bResponse, r.nOpcode,
                      r.bAuthoritative, r.bTruncated, r.bRecursionDesired, r.bRecursionAvailable, r.nRcode,
                      r.nQuestionCount, r.nAnswerCount, r.nAuthorityCount, r.nAdditionalCount);
        EXPECT_EQ(r.nId, 0x1234) << c.pszCase;
        EXPECT_EQ(szHeader, std::string(c.pszHeader)) << c.pszCase;
        const std::string strQuestion = r.bHasQuestion
                                            ? std::string(r.QuestionName()) + "/" + std::to_string(r.nQuestionType)
                                                  + "/" + std::to_string(r.nQuestionClass)
                                            : "none";
        EXPECT_EQ(strQuestion, c.pszQuestion) << c.pszCase;
        EXPECT_TRUE(decoded.m_bComplete) << c.pszCase;
        EXPECT_EQ(r.ttlMin.has_value(), r.nAnswerCount > 0) << c.pszCase;
    }
}

TEST(DnsResponse, MalformedInputGivesWhatCouldBeReadAndCountsTheRest)
{
    const CBytes a = Wire("\xC0\x00\x02\x01");
    // Four labels of 62 and a last one of 1 or 2 bytes: 255 and 256 bytes on the wire.
    CBytes labels;
    for (int i = 0; i < 4; ++i)
        labels = labels + CBytes {62} + CBytes(62, 'x');
    const CBytes name255 = labels
                           + Wire("\x01"
                                  "a\x00");
    const CBytes name256 = labels
                           + Wire("\x02"
                                  "ab\x00");
    CBytes dataCut = Response(1, {Record(PTR_TO_QUESTION, 1, 9, a)});
    dataCut.pop_back();
    const std::string strX(62, 'x');
    const std::string strName255 = strX + "." + strX + "." + strX + "." + strX + ".a. A 9 192.0.2.1";
    const struct
    {
        const char* pszCase;
        CBytes message;
        const char* pszAnswers;
        const char* pszCounts;
    } cases[] = {
        {"header cut", Wire("\x12\x34\x81\x80\x00\x00\x00\x01\x00\x00\x00"), "",
         "written 0, left out 0, missing 0, malformed 0, header cut"},
        // The owner of the second answer at offset 45 points at 47, then at itself.
        {"forward pointer", Response(1, {Record(PTR_TO_QUESTION, 1, 9, a), Record(Wire("\xC0\x2F"), 1, 9, a)}),
         "example.com. A 9 192.0.2.1", "written 1, left out 0, missing 1, malformed 0, pointer forward"},
        {"pointer to itself", Response(1, {Record(PTR_TO_QUESTION, 1, 9, a), Record(Wire("\xC0\x2D"), 1, 9, a)}),
         "example.com. A 9 192.0.2.1", "written 1, left out 0, missing 1, malformed 0, pointer forward"},
        // CNAME data at 41: a pointer to 43, which points back to 41; then an owner pointing at 43.
        {"loop of two pointers",
         Response(5, {Record(PTR_TO_QUESTION, 5, 9, Wire("\xC0\x2B\xC0\x29")), Record(Wire("\xC0\x2B"), 1, 9, a)}),
         "example.com. CNAME 9 \\# 4 C02BC029 (pointer forward)",
         "written 1, left out 0, missing 1, malformed 1, pointer forward"},
        // "a" at 29 followed by a pointer back to it: the name grows until it is too long.
        {"loop of a label and a pointer back",
         Response(1, {Record(Wire("\x01"
                                  "a\xC0\x1D"),
                             1, 9, a)}),
         "", "written 0, left out 0, missing 1, malformed 0, name too long"},
        {"pointer outside the message", Response(1, {Record(Wire("\xFF\xFF"), 1, 9, a)}), "",
         "written 0, left out 0, missing 1, malformed 0, pointer outside"},
        {"label of 64", Response(1, {Record(CBytes {64} + CBytes(64, 'x') + CBytes {0}, 1, 9, a)}), "",
         "written 0, left out 0, missing 1, malformed 0, label too long"},
        {"a reserved label type", Response(1, {Record(Wire("\x80\x00"), 1, 9, a)}), "",
         "written 0, left out 0, missing 1, malformed 0, label too long"},
        {"owner of 256 bytes", Response(1, {Record(name256, 1, 9, a)}), "",
         "written 0, left out 0, missing 1, malformed 0, name too long"},
        {"owner of 255 bytes", Response(1, {Record(name255, 1, 9, a)}), strName255.c_str(),
         "written 1, left out 0, missing 0, malformed 0, none"},
        {"more answers counted than held",
         Header(RESPONSE, 1, 3) + Question(EXAMPLE_COM, 1) + Record(PTR_TO_QUESTION, 1, 9, a),
         "example.com. A 9 192.0.2.1", "written 1, left out 0, missing 2, malformed 0, message ended"},
        {"data past the end", dataCut, "", "written 0, left out 0, missing 1, malformed 0, record cut"},
        {"question name cut after a label",
         Header(RESPONSE, 1, 1)
             + Wire("\x07"
                    "example\x03"
                    "co"),
         "", "written 0, left out 0, missing 1, malformed 0, name cut"},
        {"question without its class", Header(RESPONSE, 1, 1) + EXAMPLE_COM + Wire("\x00\x01\x00"), "",
         "written 0, left out 0, missing 1, malformed 0, record cut"},
        {"A of 3 bytes", Response(1, {Record(PTR_TO_QUESTION, 1, 9, Wire("\xC0\x00\x02"))}),
         "example.com. A 9 \\# 3 C00002 (data malformed)", "written 1, left out 0, missing 0, malformed 1, none"},
        {"CNAME with a byte after its name", Response(5, {Record(PTR_TO_QUESTION, 5, 9, Wire("\xC0\x0C\x00"))}),
         "example.com. CNAME 9 \\# 3 C00C00 (data malformed)", "written 1, left out 0, missing 0, malformed 1, none"},
        {"MX whose name runs past its data", Response(15, {Record(PTR_TO_QUESTION, 15, 9, Wire("\x00\x01\x01"))}),
         "example.com. MX 9 \\# 3 000101 (name cut)", "written 1, left out 0, missing 0, malformed 1, none"},
        {"empty TXT", Response(16, {Record(PTR_TO_QUESTION, 16, 9, {})}), "example.com. TXT 9 \\# 0 (data malformed)",
         "written 1, left out 0, missing 0, malformed 1, none"},
        {"SVCB keys out of order",
         Response(64, {Record(PTR_TO_QUESTION, 64, 9, Wire("\x00\x01\x00\x00\x03\x00\x02\x01\xbb\x00\x02\x00\x00"))}),
         "example.com. SVCB 9 \\# 13 0001000003000201BB00020000 (data malformed)",
         "written 1, left out 0, missing 0, malformed 1, none"},
        {"hostile bytes in TXT: ESC, U+202E, NUL, quote, backslash",
         Response(16, {Record(PTR_TO_QUESTION, 16, 9, Wire("\x07\x1b\xe2\x80\xae\x00\"\\"))}),
         "example.com. TXT 9 \"\\027\\226\\128\\174\\000\\\"\\\\\"",
         "written 1, left out 0, missing 0, malformed 0, none"},
        {"NUL and dots inside labels",
         Response(1, {Record(Wire("\x03"
                                  "a.b\x02\x00x\x01.\x00"),
                             1, 9, a)}),
         "a\\.b.\\000x.\\.. A 9 192.0.2.1", "written 1, left out 0, missing 0, malformed 0, none"},
    };
    for (const auto& c : cases)
    {
        const CDecoded decoded(c.message);
        EXPECT_EQ(decoded.m_strAnswers, c.pszAnswers) << c.pszCase;
        EXPECT_EQ(decoded.m_strCounts, c.pszCounts) << c.pszCase;
        EXPECT_EQ(decoded.m_bComplete, decoded.m_response.eProblem == EDnsProblem::NONE) << c.pszCase;
    }
}

TEST(DnsResponse, AnswersThatDoNotFitAreLeftOutAndCounted)
{
    // The answers take 21, 23 and 21 bytes of text ("example.com." and their address).
    const CBytes message = Response(1, {Record(PTR_TO_QUESTION, 1, 50, Wire("\xC0\x00\x02\x01")),
                                        Record(PTR_TO_QUESTION, 1, 40, Wire("\xC0\x00\x02\xFE")),
                                        Record(PTR_TO_QUESTION, 1, 60, Wire("\x01\x01\x0b\x0b"))});
    const std::string strAll = "example.com. A 50 192.0.2.1|example.com. A 40 192.0.2.254|example.com. A 60 1.1.11.11";
    const struct
    {
        size_t nTextSize, nRecordCount, nWritten;
    } cases[] = {
        {65, 3, 3},
        {64, 3, 2},
        {44, 3, 2},
        // The third would fit the 22 bytes left, but the text holds only the answers before the first left out.
        {43, 3, 1},
        {21, 3, 1},
        {20, 3, 0},
        {0, 3, 0},
        {2048, 2, 2},
        {2048, 1, 1},
        {2048, 0, 0},
    };
    for (const auto& c : cases)
    {
        const CDecoded decoded(message, c.nTextSize, c.nRecordCount);
        const size_t nWritten = decoded.m_response.nRecords;
        EXPECT_EQ(nWritten, c.nWritten) << c.nTextSize << " " << c.nRecordCount;
        EXPECT_EQ(decoded.m_response.nLeftOut, 3 - c.nWritten) << c.nTextSize << " " << c.nRecordCount;
        EXPECT_EQ(decoded.m_response.nTextLength, size_t(nWritten == 0   ? 0
                                                         : nWritten == 1 ? 21
                                                         : nWritten == 2 ? 44
                                                                         : 65));
        EXPECT_TRUE(strAll.starts_with(decoded.m_strAnswers)) << decoded.m_strAnswers;
        EXPECT_EQ(decoded.m_response.ttlMin, 40u);
        EXPECT_TRUE(decoded.m_bComplete);
    }
}

// Malformed data is rewritten in the generic form; an owner that alone did not fit stays left out.
TEST(DnsResponse, MalformedAnswerThatDoesNotFitIsLeftOut)
{
    const CBytes message = Response(1, {Record(PTR_TO_QUESTION, 1, 9, Wire("\xC0\x00\x02"))});
    for (const size_t nTextSize : {0, 10, 22})
    {
        const CDecoded decoded(message, nTextSize);
        EXPECT_EQ(decoded.m_strCounts, "written 0, left out 1, missing 0, malformed 1, none") << nTextSize;
        EXPECT_EQ(decoded.m_response.nTextLength, 0u) << nTextSize;
    }
    EXPECT_EQ(CDecoded(message, 23).m_strAnswers, "example.com. A 9 \\# 3 C00002 (data malformed)");
}

// The DNS message of a response from port 53 in a captured frame: a UDP payload, or the first
// message of a TCP segment behind its length. Empty when the frame holds none.
CBytes ResponseMessage(const CBytes& frame)
{
    CPacketBytes bytes(frame.data(), frame.size());
    CTransportHeader transport;
    if (frame.empty()
        || !((frame[0] >> 4) == IP_VERSION_6 ? FindIpv6Transport(bytes, transport)
                                             : FindIpv4Transport(bytes, transport)))
        return {};
    std::uint16_t nSourcePort = 0;
    unsigned char bTcpOffset = 0;
    if (!bytes.GetUint16(transport.nOffset, nSourcePort) || nSourcePort != DNS_PORT)
        return {};
    size_t nMessage = transport.nOffset + UDP_HEADER_SIZE;
    if (transport.nProtocol == PROTOCOL_TCP)
    {
        if (!bytes.GetByte(transport.nOffset + TCP_DATA_OFFSET_OFFSET, bTcpOffset))
            return {};
        nMessage = transport.nOffset + (bTcpOffset >> 4) * 4 + DNS_TCP_LENGTH_SIZE;
    }
    else if (transport.nProtocol != PROTOCOL_UDP)
        return {};
    if (nMessage >= bytes.GetLength())
        return {};
    return CBytes(frame.begin() + long(nMessage), frame.begin() + long(bytes.GetLength()));
}

TEST(DnsResponse, EveryCapturedResponseReadsAsTheQuestionDecoderReadsIt)
{
    for (const char* pszFile :
         {"tcpdump-dns_udp.pcap", "tcpdump-dns_tcp.pcap", "tcpdump-edns-opts.pcap", "tcpdump-dns-zlip-1.pcap",
          "tcpdump-dns-zlip-2.pcap", "tcpdump-dns-zlip-3.pcap", "zeek-dns-edns-ecs.pcap", "zeek-dns-invalid-names.pcap",
          "zeek-long-connection.pcap", "zeek-dns_original_case.pcap", "zeek-ticks-dns.pcap", "zeek-dns53.pcap"})
    {
        const std::vector<CBytes> frames = ReadCaptureFrames(pszFile);
        std::vector<CBytes> messages;
        std::transform(frames.begin(), frames.end(), std::back_inserter(messages), ResponseMessage);
        for (const CBytes& message : messages)
        {
            if (message.empty())
                continue;
            const CDecoded decoded(message);
            if (decoded.m_response.bHasQuestion)
            {
                char szName[NAME_BUFFER_SIZE];
                size_t nName = 0;
                EXPECT_TRUE(DecodeQuestionForm(message.data() + DNS_HEADER_SIZE, message.size() - DNS_HEADER_SIZE,
                                               szName, nName));
                EXPECT_EQ(decoded.m_response.QuestionName(), std::string_view(szName, nName)) << pszFile;
            }
            EXPECT_TRUE(std::all_of(decoded.m_strAnswers.begin(), decoded.m_strAnswers.end(), [](char ch) {
                return ch >= 0x20 && ch <= 0x7e;
            })) << pszFile;
        }
    }
}

} // namespace
