#include "capture/DnsName.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Wire bytes from a literal, embedded zero bytes included (the literal's own NUL is not).
template <size_t N>
Bytes Wire(const char (&s)[N])
{
    return Bytes(s, s + N - 1);
}

Bytes Repeat(unsigned char b, size_t nCount)
{
    return Bytes(nCount, b);
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A name buffer with a fence behind it, so that a write past the 1024 bytes shows up without a sanitizer.
struct CNameBuffer
{
    static constexpr size_t FENCE = 64;
    std::array<char, NAME_BUFFER_SIZE + FENCE> m_buffer;

    CNameBuffer() { m_buffer.fill('\xA5'); }
    char* Text() { return m_buffer.data(); }
    std::string Str() const { return std::string(m_buffer.data()); }
    std::string Raw(size_t n) const { return std::string(m_buffer.data(), n); }

    ::testing::AssertionResult Intact() const
    {
        if (std::memchr(m_buffer.data(), '\0', NAME_BUFFER_SIZE) == nullptr)
            return ::testing::AssertionFailure() << "no NUL within the 1024 bytes";
        for (size_t i = NAME_BUFFER_SIZE; i < m_buffer.size(); ++i)
            if (m_buffer[i] != '\xA5')
                return ::testing::AssertionFailure() << "byte " << i << " past the buffer was written";
        return ::testing::AssertionSuccess();
    }
};

struct CDecoded
{
    bool m_bComplete;
    std::string m_strText;
};

// The bytes live in a vector of exactly their own size, so a sanitizer build also catches reads past them.
CDecoded Decode(const Bytes& wire, size_t nAvailable)
{
    CNameBuffer buffer;
    const bool bComplete = DecodeQuestionName(wire.data(), nAvailable, buffer.Text());
    EXPECT_TRUE(buffer.Intact());
    return {bComplete, buffer.Str()};
}

CDecoded Decode(const Bytes& wire)
{
    return Decode(wire, wire.size());
}

// A wire name with one label of each given length, each filled with its own letter.
Bytes Labels(const std::vector<int>& lengths)
{
    Bytes wire;
    char c = 'a';
    for (int n : lengths)
    {
        wire.push_back(static_cast<unsigned char>(n));
        wire.insert(wire.end(), size_t(n), static_cast<unsigned char>(c));
        c = c == 'z' ? 'a' : char(c + 1);
    }
    wire.push_back(0);
    return wire;
}

// An IPv4 datagram under the fixed layout: 20-byte IPv4 header, transport ports at 20-23, DNS header, then `name`.
Bytes Datagram(uint16_t nSourcePort, uint16_t nDestPort, const Bytes& name, unsigned char nProtocol = 17)
{
    Bytes d(DNS_NAME_OFFSET, 0);
    d[0] = 0x45;
    d[9] = nProtocol;
    d[20] = static_cast<unsigned char>(nSourcePort >> 8);
    d[21] = static_cast<unsigned char>(nSourcePort);
    d[22] = static_cast<unsigned char>(nDestPort >> 8);
    d[23] = static_cast<unsigned char>(nDestPort);
    d[33] = 1; // one question
    return d + name;
}

CDecoded Extract(const Bytes& datagram)
{
    CNameBuffer buffer;
    const bool bName = ExtractQueryName(datagram.data(), datagram.size(), buffer.Text());
    EXPECT_TRUE(buffer.Intact());
    return {bName, buffer.Str()};
}

// IPv4 datagrams of a classic pcap file with Ethernet framing; the bytes kept are what a packet
// socket hands over: everything after the 14-byte Ethernet header, as captured.
std::vector<Bytes> ReadIpv4Datagrams(const std::string& strFile)
{
    std::ifstream in(std::string(TARROW_CAPTURES_DIR) + "/" + strFile, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Bytes> datagrams;
    if (file.size() < 24)
    {
        ADD_FAILURE() << strFile << ": not a pcap file";
        return datagrams;
    }

    const auto Le32 = [&file](size_t n) {
        return uint32_t(file[n]) | uint32_t(file[n + 1]) << 8 | uint32_t(file[n + 2]) << 16 | uint32_t(file[n + 3]) << 24;
    };
    const uint32_t nMagic = Le32(0);
    if ((nMagic != 0xA1B2C3D4 && nMagic != 0xA1B23C4D) || Le32(20) != 1)
    {
        ADD_FAILURE() << strFile << ": not a little-endian Ethernet pcap file";
        return datagrams;
    }

    for (size_t nPos = 24; nPos + 16 <= file.size();)
    {
        const size_t nCaptured = Le32(nPos + 8);
        nPos += 16;
        if (nPos + nCaptured > file.size())
        {
            ADD_FAILURE() << strFile << ": last record cut off";
            break;
        }
        const unsigned char* pFrame = file.data() + nPos;
        if (nCaptured >= 14 && pFrame[12] == 0x08 && pFrame[13] == 0x00)
            datagrams.emplace_back(pFrame + 14, pFrame + nCaptured);
        nPos += nCaptured;
    }
    return datagrams;
}

// ---------------------------------------------------------------------------------------------
// The test by fixed offsets

TEST(IsDnsDatagram, DestinationPort53IsDnsWhateverTheDirectionOfTheOtherPort)
{
    const Bytes query = Datagram(1053, 53, Wire("\0"));
    const Bytes answer = Datagram(53, 1053, Wire("\0"));
    EXPECT_TRUE(IsDnsDatagram(query.data(), query.size()));
    EXPECT_FALSE(IsDnsDatagram(answer.data(), answer.size()));

    const Bytes swappedBytes = Datagram(1053, 0x3500, Wire("\0"));
    EXPECT_FALSE(IsDnsDatagram(swappedBytes.data(), swappedBytes.size()));
    const Bytes mdns = Datagram(5353, 5353, Wire("\0"));
    EXPECT_FALSE(IsDnsDatagram(mdns.data(), mdns.size()));
}

TEST(IsDnsDatagram, ReadsOnlyBytes22And23)
{
    // Not IPv4, not UDP, a fragment, IPv4 options: none of it is looked at.
    Bytes d = Repeat(0xFF, 60);
    d[22] = 0x00;
    d[23] = 0x35;
    EXPECT_TRUE(IsDnsDatagram(d.data(), d.size()));

    // Header length 6 words moves the real destination port to bytes 26-27; bytes 22-23 still decide.
    Bytes withOptions = Datagram(0, 0, Wire("\0"));
    withOptions[0] = 0x46;
    withOptions[26] = 0x00;
    withOptions[27] = 0x35;
    EXPECT_FALSE(IsDnsDatagram(withOptions.data(), withOptions.size()));
    withOptions[22] = 0x00;
    withOptions[23] = 0x35;
    withOptions[26] = 0x04;
    EXPECT_TRUE(IsDnsDatagram(withOptions.data(), withOptions.size()));
}

TEST(IsDnsDatagram, NeedsBoth23And24Bytes)
{
    const Bytes d = Datagram(1053, 53, {});
    EXPECT_TRUE(IsDnsDatagram(d.data(), 24));
    EXPECT_FALSE(IsDnsDatagram(d.data(), 23));
    EXPECT_FALSE(IsDnsDatagram(d.data(), 0));
}

// ---------------------------------------------------------------------------------------------
// The decoder

TEST(DecodeQuestionName, WellFormedNamesAreCopiedAsTheyAre)
{
    const CDecoded mail = Decode(Wire("\x04mail\x07" "example\x03org\0"));
    EXPECT_TRUE(mail.m_bComplete);
    EXPECT_EQ(mail.m_strText, "mail.example.org");

    EXPECT_EQ(Decode(Wire("\x04MAIL\0")).m_strText, "MAIL");
    EXPECT_EQ(Decode(Wire("\x02Us\x03V27\x0B" "DiStRiBuTeD\x03NET\0")).m_strText, "Us.V27.DiStRiBuTeD.NET");

    // Full stops, spaces and bytes above 0x7F inside a label are not escaped.
    EXPECT_EQ(Decode(Wire("\x03" "a.b\x04" "c d\xE9\0")).m_strText, "a.b.c d\xE9");

    // 127 bytes is the longest label a signed length byte can give; DNS would stop at 63.
    const CDecoded longest = Decode(Labels({127, 64}));
    EXPECT_TRUE(longest.m_bComplete);
    EXPECT_EQ(longest.m_strText, std::string(127, 'a') + "." + std::string(64, 'b'));
}

TEST(DecodeQuestionName, RootGivesTheEmptyTextAndIsComplete)
{
    const CDecoded root = Decode(Wire("\0"));
    EXPECT_TRUE(root.m_bComplete);
    EXPECT_EQ(root.m_strText, "");

    // Whatever follows the zero length byte is not read.
    EXPECT_EQ(Decode(Wire("\0\x03" "abc\0")).m_strText, "");
}

TEST(DecodeQuestionName, HighLengthBytesCopyNothingButStillWriteAFullStop)
{
    const CDecoded pointer = Decode(Wire("\xC0\0"));
    EXPECT_TRUE(pointer.m_bComplete);
    EXPECT_EQ(pointer.m_strText, "");

    EXPECT_EQ(Decode(Wire("\x03" "abc\xC0\0")).m_strText, "abc.");
    EXPECT_EQ(Decode(Wire("\x80\xFF\x01x\0")).m_strText, "..x");
}

TEST(DecodeQuestionName, CompressionPointerIsNotFollowed)
{
    // C0 gives an empty label, 0C is taken as a label length and the next twelve bytes are copied.
    const Bytes wire = Wire("\xC0\x0C\x03" "abc\x03" "def\0\x01\0\x01\0");
    CNameBuffer buffer;
    ASSERT_TRUE(DecodeQuestionName(wire.data(), wire.size(), buffer.Text()));
    EXPECT_EQ(buffer.Raw(14), std::string("\x2E\x03" "abc\x03" "def\0\x01\0\x01\0", 14));
    EXPECT_EQ(buffer.Str(), "\x2E\x03" "abc\x03" "def");
    EXPECT_TRUE(buffer.Intact());
}

TEST(DecodeQuestionName, ZeroByteInsideALabelEndsTheTextButNotTheDecoding)
{
    const Bytes wire = Wire("\x03" "a\0b\x01" "c\0");
    CNameBuffer buffer;
    ASSERT_TRUE(DecodeQuestionName(wire.data(), wire.size(), buffer.Text()));
    EXPECT_EQ(buffer.Raw(6), std::string("a\0b.c\0", 6));

    // The decoding goes on after the copied zero byte, so a name that runs out later still fails.
    EXPECT_FALSE(Decode(Wire("\x03" "a\0b\x05" "c")).m_bComplete);
}

TEST(DecodeQuestionName, NameEndingAtTheLastReceivedByteAndOneShort)
{
    const Bytes wire = Wire("\x04mail\x07" "example\x03org\0");

    const CDecoded exact = Decode(wire, wire.size());
    EXPECT_TRUE(exact.m_bComplete);
    EXPECT_EQ(exact.m_strText, "mail.example.org");

    // Without its zero length byte the name is cut off; the bytes received stay decoded, terminated.
    const CDecoded noZero = Decode(Bytes(wire.begin(), wire.end() - 1));
    EXPECT_FALSE(noZero.m_bComplete);
    EXPECT_EQ(noZero.m_strText, "mail.example.org");

    const CDecoded midLabel = Decode(Bytes(wire.begin(), wire.end() - 2));
    EXPECT_FALSE(midLabel.m_bComplete);
    EXPECT_EQ(midLabel.m_strText, "mail.example.or");

    const CDecoded afterPointer = Decode(Wire("\x03" "abc\xC0"));
    EXPECT_FALSE(afterPointer.m_bComplete);
    EXPECT_EQ(afterPointer.m_strText, "abc.");
}

TEST(DecodeQuestionName, NothingAvailableIsNotAName)
{
    CNameBuffer buffer;
    const unsigned char zero = 0;
    EXPECT_FALSE(DecodeQuestionName(&zero, 0, buffer.Text()));
    EXPECT_EQ(buffer.Str(), "");
    EXPECT_TRUE(buffer.Intact());

    EXPECT_TRUE(Decode(Wire("\0"), 1).m_bComplete);
}

TEST(DecodeQuestionName, TextOf1023CharactersFitsAndOf1024DoesNot)
{
    const CDecoded fits = Decode(Labels({127, 127, 127, 127, 127, 127, 127, 127}));
    EXPECT_TRUE(fits.m_bComplete);
    EXPECT_EQ(fits.m_strText.size(), 1023u);
    EXPECT_EQ(fits.m_strText.substr(895), "." + std::string(127, 'h'));

    // The last label would end exactly at the buffer's end, leaving no room for the NUL.
    const CDecoded tooLong = Decode(Labels({127, 127, 127, 127, 127, 127, 127, 63, 64}));
    EXPECT_FALSE(tooLong.m_bComplete);
    EXPECT_EQ(tooLong.m_strText.size(), 1023u);
    EXPECT_EQ(tooLong.m_strText.substr(959), "." + std::string(63, 'i'));

    // Full stops alone: 1024 empty labels make 1023 characters, 1025 make one too many.
    const CDecoded dots = Decode(Repeat(0x80, 1024) + Wire("\0"));
    EXPECT_TRUE(dots.m_bComplete);
    EXPECT_EQ(dots.m_strText, std::string(1023, '.'));
    const CDecoded moreDots = Decode(Repeat(0x80, 1025) + Wire("\0"));
    EXPECT_FALSE(moreDots.m_bComplete);
    EXPECT_EQ(moreDots.m_strText, std::string(1023, '.'));

    // The buffer fills before the bytes run out; the decoder must stop writing rather than read on.
    const CDecoded endless = Decode(Repeat(0x80, 1600));
    EXPECT_FALSE(endless.m_bComplete);
    EXPECT_EQ(endless.m_strText, std::string(1023, '.'));

    const CDecoded endlessLabels = Decode(Repeat(0x7F, 1600));
    EXPECT_FALSE(endlessLabels.m_bComplete);
    EXPECT_EQ(endlessLabels.m_strText.size(), 1023u);
}

// ---------------------------------------------------------------------------------------------
// The worker's step

TEST(ExtractQueryName, QueryGivesItsNameAndAnswerGivesNone)
{
    const Bytes name = Wire("\x03www\x07" "example\x03" "com\0\0\x01\0\x01");
    const CDecoded query = Extract(Datagram(40000, 53, name));
    EXPECT_TRUE(query.m_bComplete);
    EXPECT_EQ(query.m_strText, "www.example.com");

    const CDecoded answer = Extract(Datagram(53, 40000, name));
    EXPECT_FALSE(answer.m_bComplete);
    EXPECT_EQ(answer.m_strText, "");
}

TEST(ExtractQueryName, DatagramOf40BytesOrFewerHasNoName)
{
    const Bytes d = Datagram(40000, 53, Wire("\0"));
    CNameBuffer buffer;
    EXPECT_TRUE(ExtractQueryName(d.data(), 41, buffer.Text()));
    EXPECT_EQ(buffer.Str(), "");
    EXPECT_FALSE(ExtractQueryName(d.data(), 40, buffer.Text()));
    EXPECT_FALSE(ExtractQueryName(d.data(), 24, buffer.Text()));
    EXPECT_FALSE(ExtractQueryName(d.data(), 23, buffer.Text()));
    EXPECT_TRUE(buffer.Intact());
}

TEST(ExtractQueryName, NoStaleNameIsLeftInTheBuffer)
{
    CNameBuffer buffer;
    const Bytes query = Datagram(40000, 53, Wire("\x04mail\0"));
    ASSERT_TRUE(ExtractQueryName(query.data(), query.size(), buffer.Text()));
    ASSERT_EQ(buffer.Str(), "mail");

    const Bytes other = Datagram(40000, 80, Wire("\x04mail\0"));
    EXPECT_FALSE(ExtractQueryName(other.data(), other.size(), buffer.Text()));
    EXPECT_EQ(buffer.Str(), "");

    ASSERT_TRUE(ExtractQueryName(query.data(), query.size(), buffer.Text()));
    const Bytes cut = Datagram(40000, 53, Wire("\x02w"));
    EXPECT_FALSE(ExtractQueryName(cut.data(), cut.size(), buffer.Text()));
    EXPECT_EQ(buffer.Str(), "w");
}

TEST(ExtractQueryName, TcpSegmentTo53IsDecodedFromByte20OfItsHeader)
{
    // Byte 20 of a TCP header is where options start; 01 is a no-operation option, taken as a label length.
    Bytes segment = Datagram(40000, 53, Wire("\x01\x01\x01\x08\0"), 6);
    const CDecoded decoded = Extract(segment);
    EXPECT_TRUE(decoded.m_bComplete);
    EXPECT_EQ(decoded.m_strText, "\x01.\x08");
}

// ---------------------------------------------------------------------------------------------
// Frames from real captures

TEST(ExtractQueryNameFromCaptures, OrdinaryQueriesAndTheirAnswers)
{
    const std::vector<Bytes> udp = ReadIpv4Datagrams("tcpdump-dns_udp.pcap");
    ASSERT_EQ(udp.size(), 2u);
    EXPECT_EQ(Extract(udp[0]).m_strText, "www.tcpdump.org");
    EXPECT_TRUE(Extract(udp[0]).m_bComplete);
    EXPECT_FALSE(Extract(udp[1]).m_bComplete);

    const std::vector<Bytes> other = ReadIpv4Datagrams("tcpdump-dns_udp_8053.pcap");
    ASSERT_EQ(other.size(), 2u);
    for (const Bytes& d : other)
        EXPECT_FALSE(Extract(d).m_bComplete);

    // Queries and answers alternate on one client port; the answers come from 53 and are dropped.
    const std::vector<Bytes> session = ReadIpv4Datagrams("zeek-long-connection.pcap");
    ASSERT_EQ(session.size(), 22u);
    std::vector<std::string> names;
    for (const Bytes& d : session)
    {
        const CDecoded decoded = Extract(d);
        if (decoded.m_bComplete)
            names.push_back(decoded.m_strText);
    }
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names[0], "google.com");
    EXPECT_EQ(names[2], "104.9.192.66.in-addr.arpa");
    EXPECT_EQ(names[3], "www.netbsd.org");
}

TEST(ExtractQueryNameFromCaptures, MixedCaseIsKept)
{
    const std::vector<Bytes> original = ReadIpv4Datagrams("zeek-dns_original_case.pcap");
    ASSERT_EQ(original.size(), 1u);
    EXPECT_EQ(Extract(original[0]).m_strText, "Us.V27.DiStRiBuTeD.NET");

    const std::vector<Bytes> ticks = ReadIpv4Datagrams("zeek-ticks-dns.pcap");
    ASSERT_EQ(ticks.size(), 10u);
    EXPECT_EQ(Extract(ticks[0]).m_strText, "pXIqopbiiD.de");
    EXPECT_EQ(Extract(ticks[9]).m_strText, "zYgiCgNQWK.de");
}

TEST(ExtractQueryNameFromCaptures, CompressionLoopsAreReadAsLabels)
{
    const std::vector<Bytes> loop1 = ReadIpv4Datagrams("tcpdump-dns-zlip-1.pcap");
    ASSERT_EQ(loop1.size(), 1u);
    const CDecoded decoded1 = Extract(loop1[0]);
    EXPECT_TRUE(decoded1.m_bComplete);
    EXPECT_EQ(decoded1.m_strText, ".\xC0\x07\xC0\x10\xC0\x17\xC0\x20\xC0\x27\xC0\x30...");

    const std::vector<Bytes> loop2 = ReadIpv4Datagrams("tcpdump-dns-zlip-2.pcap");
    ASSERT_EQ(loop2.size(), 1u);
    const CDecoded decoded2 = Extract(loop2[0]);
    EXPECT_TRUE(decoded2.m_bComplete);
    EXPECT_EQ(decoded2.m_strText, ".\xC0\x0C\xC0\x10\xC0\x17\xC0\x20\xC0\x27\xC0\x30\xC0\xFF.");

    // A long label followed by pointers that only end with the datagram.
    const std::vector<Bytes> loop3 = ReadIpv4Datagrams("tcpdump-dns-zlip-3.pcap");
    ASSERT_EQ(loop3.size(), 1u);
    const CDecoded decoded3 = Extract(loop3[0]);
    EXPECT_FALSE(decoded3.m_bComplete);
    EXPECT_EQ(decoded3.m_strText.substr(0, 13), "thisleetostri");
}

TEST(ExtractQueryNameFromCaptures, NamesRunningPastThePacketGiveNothing)
{
    const std::vector<Bytes> invalid = ReadIpv4Datagrams("zeek-dns-invalid-names.pcap");
    ASSERT_EQ(invalid.size(), 3u);
    for (const Bytes& d : invalid)
    {
        ASSERT_TRUE(IsDnsDatagram(d.data(), d.size()));
        EXPECT_FALSE(Extract(d).m_bComplete);
    }
}

TEST(ExtractQueryNameFromCaptures, DnsOverTcp)
{
    const std::vector<Bytes> tcp = ReadIpv4Datagrams("tcpdump-dns_tcp.pcap");
    ASSERT_EQ(tcp.size(), 11u);

    // The segment carrying the query: byte 40 is the high byte of the two-byte length prefix, 0,
    // so the query is delivered as the empty name.
    ASSERT_EQ(tcp[3].size(), 98u);
    const CDecoded query = Extract(tcp[3]);
    EXPECT_TRUE(query.m_bComplete);
    EXPECT_EQ(query.m_strText, "");

    // A bare acknowledgement is 40 bytes: DNS by its port, but with no name.
    ASSERT_EQ(tcp[2].size(), 40u);
    EXPECT_TRUE(IsDnsDatagram(tcp[2].data(), tcp[2].size()));
    EXPECT_FALSE(Extract(tcp[2]).m_bComplete);

    // Segments from the server's port 53 are never taken.
    EXPECT_FALSE(Extract(tcp[1]).m_bComplete);
    EXPECT_FALSE(Extract(tcp[5]).m_bComplete);
}

TEST(ExtractQueryNameFromCaptures, MulticastDnsIsNotOnPort53)
{
    for (const Bytes& d : ReadIpv4Datagrams("zeek-mdns.pcap"))
        EXPECT_FALSE(Extract(d).m_bComplete);
}

} // namespace
