// From a connection's first segment to the record of encrypted DNS, and the lists of resolvers it
// is told by: which connections are told, once each, with what of the hello, and that every other
// one gives nothing.
#include "frames/EncryptedRecords.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace Channel;

namespace {

const CDohResolvers& Resolvers()
{
    static const CDohResolvers s_resolvers = [] {
        CDohResolvers resolvers = CDohResolvers::BuiltIn();
        std::string strError;
        EXPECT_TRUE(resolvers.Add("doh.own.test\n*.corp.test\n198.51.100.53 # an address of the user's\n", &strError))
            << strError;
        return resolvers;
    }();
    return s_resolvers;
}

// IPv4 frames from 10.0.0.2 to the address; the TCP segment's sequence number as given.
CBytes Frame(const CBytes& segment, unsigned char nProtocol, const CBytes& destination, std::uint32_t nSequence = 7)
{
    CBytes frame = Ipv4Frame(nProtocol, segment);
    std::copy(destination.begin(), destination.end(), frame.begin() + 16);
    if (nProtocol == 6)
    {
        for (int i = 0; i < 4; ++i)
            frame[24 + size_t(i)] = static_cast<unsigned char>(nSequence >> (24 - 8 * i));
    }
    return frame;
}

} // namespace

TEST(EncryptedRecordsTest, EachConnectionThatSpeaksDnsEncryptedIsToldWithWhatItsHelloSaid)
{
    const CBytes other {203, 0, 113, 9}, listed {8, 8, 8, 8}, own {198, 51, 100, 53};
    const CBytes quic = CBytes {0xc3, 0, 0, 0, 1} + CBytes(40);
    const auto Tcp = [](std::uint16_t nPort, const CBytes& hello) { return TcpSegment(40000, nPort, hello); };
    const CBytes browser = TlsClientHello({TlsServerName("Mozilla.Cloudflare-DNS.com"), TlsAlpn({"h2", "http/1.1"})});
    const struct
    {
        const char* pszWhat;
        CBytes frame;
        std::uint8_t nProtocol; // 0: nothing told
        std::uint8_t nFlags;
        const char* pszName;
        const char* pszAlpn;
    } cases[] = {
        {"TLS to 853, any server",
         Frame(Tcp(853, TlsClientHello({TlsServerName("dot.example"), TlsAlpn({"dot"})})), 6, other), ENCRYPTED_TLS, 0,
         "dot.example", "dot"},
        {"a built-in DoH name, any case", Frame(Tcp(443, browser), 6, other), ENCRYPTED_HTTPS, 0,
         "Mozilla.Cloudflare-DNS.com", "h2,http/1.1"},
        {"a user's name", Frame(Tcp(443, TlsClientHello({TlsServerName("doh.own.test")})), 6, other), ENCRYPTED_HTTPS,
         0, "doh.own.test", ""},
        {"a user's name under *.", Frame(Tcp(443, TlsClientHello({TlsServerName("a.b.corp.test")})), 6, other),
         ENCRYPTED_HTTPS, 0, "a.b.corp.test", ""},
        {"no name, a listed address", Frame(Tcp(443, TlsClientHello({})), 6, listed), ENCRYPTED_HTTPS,
         ENCRYPTED_BY_ADDRESS, "", ""},
        {"ECH's outer name",
         Frame(Tcp(443, TlsClientHello({TlsServerName("dns.google"), TlsExtension(0xfe0d, {1})})), 6, other),
         ENCRYPTED_HTTPS, ENCRYPTED_ECH, "dns.google", ""},
        {"a name with any byte, by address", Frame(Tcp(443, TlsClientHello({TlsServerName("a b\\c.\x01;")})), 6, own),
         ENCRYPTED_HTTPS, ENCRYPTED_BY_ADDRESS, "a\\032b\\\\c.\\001\\;", ""},
        {"a protocol with a comma", Frame(Tcp(853, TlsClientHello({TlsAlpn({"a,b", "c d"})})), 6, other), ENCRYPTED_TLS,
         0, "", "a\\,b,c\\032d"},
        {"a giant name, cut", Frame(Tcp(853, TlsClientHello({TlsServerName(std::string(300, 'x'))})), 6, other),
         ENCRYPTED_TLS, ENCRYPTED_CUT, nullptr, ""},
        {"a hello cut short", Frame(Tcp(853, CBytes(browser.begin(), browser.end() - 3)), 6, other), ENCRYPTED_TLS,
         ENCRYPTED_CUT, "Mozilla.Cloudflare-DNS.com", ""},
        {"QUIC to 853", Frame(UdpSegment(40000, 853, quic), 17, other), ENCRYPTED_QUIC, 0, "", ""},
        {"QUIC to a listed address", Frame(UdpSegment(40000, 443, quic), 17, listed), ENCRYPTED_QUIC,
         ENCRYPTED_BY_ADDRESS, "", ""},
        {"ordinary HTTPS", Frame(Tcp(443, TlsClientHello({TlsServerName("shop.example")})), 6, other), 0, 0, "", ""},
        {"a name only like a resolver's", Frame(Tcp(443, TlsClientHello({TlsServerName("xdns.google")})), 6, other), 0,
         0, "", ""},
        {"*. is not the name itself", Frame(Tcp(443, TlsClientHello({TlsServerName("corp.test")})), 6, other), 0, 0, "",
         ""},
        {"QUIC to another address", Frame(UdpSegment(40000, 443, quic), 17, other), 0, 0, "", ""},
        {"QUIC's short header", Frame(UdpSegment(40000, 853, {0x41, 1}), 17, other), 0, 0, "", ""},
        {"no hello to 853", Frame(Tcp(853, {23, 3, 3, 0, 1, 0}), 6, other), 0, 0, "", ""},
        {"a hello to another port", Frame(TcpSegment(40000, 8443, browser), 6, listed), 0, 0, "", ""},
    };
    for (const auto& one : cases)
    {
        CEncryptedRecordMaker maker(Resolvers());
        const bool bMade = maker.Make(one.frame.data(), one.frame.size(), 1700000000, 5);
        ASSERT_EQ(bMade, one.nProtocol != 0) << one.pszWhat;
        if (!bMade)
            continue;
        const CEncryptedRecord& record = maker.GetRecord();
        EXPECT_TRUE(record.IsValid()) << one.pszWhat;
        EXPECT_EQ(int(record.nProtocol), int(one.nProtocol)) << one.pszWhat;
        EXPECT_EQ(int(record.nFlags), int(one.nFlags)) << one.pszWhat;
        EXPECT_EQ(maker.GetName(), one.pszName != nullptr ? std::string(one.pszName) : std::string(255, 'x'))
            << one.pszWhat;
        EXPECT_EQ(maker.GetTail().substr(record.nLength), one.pszAlpn) << one.pszWhat;
    }
}

// A connection is told once: its hello sent again, or QUIC's later handshake packets, give nothing,
// while a new connection on the same ports (another sequence number) or to another port, and one
// after the flow's life, are told again.
TEST(EncryptedRecordsTest, AConnectionIsToldOnce)
{
    CEncryptedRecordMaker maker(Resolvers());
    const CBytes other {203, 0, 113, 9};
    const CBytes hello = Frame(TcpSegment(40000, 853, TlsClientHello({})), 6, other, 1);
    const CBytes again = Frame(TcpSegment(40000, 853, TlsClientHello({})), 6, other, 2);
    const CBytes quic = Frame(UdpSegment(40000, 853, CBytes {0xc3, 0, 0, 0, 1}), 17, other);
    // The same source port and sequence number to the resolver's other port: another connection.
    const CBytes https = Frame(TcpSegment(40000, 443, TlsClientHello({TlsServerName("dns.google")})), 6, other, 1);
    // The life counts from the last sighting.
    const std::int64_t nLater = 1700000001 + CEncryptedRecordMaker::FLOW_LIFE_S + 1;
    const struct
    {
        const CBytes& frame;
        std::int64_t nSeconds;
        bool bTold;
    } steps[] = {
        {hello, 1700000000, true}, {hello, 1700000001, false}, {again, 1700000001, true}, {https, 1700000001, true},
        {quic, 1700000000, true},  {quic, 1700000003, false},  {hello, nLater, true},
    };
    for (const auto& step : steps)
        EXPECT_EQ(maker.Make(step.frame.data(), step.frame.size(), step.nSeconds, 0), step.bTold) << (&step - steps);
}

// One format for the built-in list and the user's: every entry of the shipped file reads, and a
// line that is no entry is refused with its number.
TEST(EncryptedRecordsTest, ResolverListsReadTheirEntriesAndRefuseWhatIsNone)
{
    std::ifstream file(TARROW_SOURCE_DIR "/frames/doh-resolvers.txt");
    std::stringstream text;
    text << file.rdbuf();
    CDohResolvers shipped;
    std::string strError;
    EXPECT_TRUE(shipped.Add(text.str(), &strError)) << strError;
    EXPECT_TRUE(shipped.HasName("dns.google") && shipped.HasName("MOZILLA.cloudflare-dns.com."));
    const std::uint8_t abQuad9[4] = {9, 9, 9, 9};
    EXPECT_TRUE(shipped.HasAddress(4, abQuad9));
    EXPECT_EQ(CDohResolvers::BuiltIn().ToText(), shipped.ToText());

    const struct
    {
        std::string strText;
        const char* pszError; // nullptr: read
    } cases[] = {
        {"  a.example  # spaces and a comment\r\n\n*.b.example\n2001:db8::1\n", nullptr},
        {"good.example\nbad name.example\n", "line 2: "},
        {"a..example\n", "line 1: "},
        {"*.\n", "line 1: "},
        {"a\\.example\n", "line 1: "},
        {std::string(64, 'x') + ".example\n", "line 1: "},
        {"1.2.3.4/24\n", "line 1: "},
    };
    for (const auto& one : cases)
    {
        CDohResolvers resolvers;
        std::string strWhy;
        EXPECT_EQ(resolvers.Add(one.strText, &strWhy), one.pszError == nullptr) << one.strText;
        EXPECT_TRUE(one.pszError == nullptr || strWhy.starts_with(one.pszError)) << strWhy;
    }
    CDohResolvers resolvers;
    resolvers.Add("A.Example.\n*.B.example\n2001:db8::1\n", &strError);
    EXPECT_EQ(resolvers.ToText(), "a.example\n*.b.example\n2001:db8::1\n");
}
