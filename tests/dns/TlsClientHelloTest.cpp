// A ClientHello's server name, ALPN and ECH, read with bounded reads from hellos as clients send
// them and as a hostile sender may shape them.
#include "dns/TlsClientHello.h"
#include "TestFrames.h"

#include <gtest/gtest.h>

TEST(TlsClientHelloTest, TheNameAlpnAndEchOfAHelloAreReadAndNothingPastIt)
{
    const CBytes good = TlsClientHello({TlsServerName("mozilla.cloudflare-dns.com"), TlsAlpn({"h2", "http/1.1"})});
    // An ALPN that says it holds 65535 bytes, at the end of the list.
    const CBytes giant = TlsClientHello({TlsServerName("a.example"), CBytes {0x00, 0x10, 0xff, 0xff, 0x00}});
    const struct
    {
        const char* pszWhat;
        CBytes segment;
        const char* pszName;
        size_t nAlpn;
        bool bEch, bCut, bRepeated, bAlpnLeftOut;
    } cases[] = {
        {"a browser's hello", good, "mozilla.cloudflare-dns.com", 2, false, false, false, false},
        {"ECH offered: the outer name",
         TlsClientHello({TlsServerName("public.example"), TlsExtension(0xfe0d, {1, 2, 3})}), "public.example", 0, true,
         false, false, false},
        {"no extensions at all", TlsClientHello({}), "", 0, false, false, false, false},
        {"a second server name", TlsClientHello({TlsServerName("first.example"), TlsServerName("second.example")}),
         "first.example", 0, false, false, true, false},
        {"nine protocols", TlsClientHello({TlsAlpn({"a", "b", "c", "d", "e", "f", "g", "h", "i"})}), "", 8, false,
         false, false, true},
        {"an extension past the record", giant, "a.example", 0, false, true, false, false},
        {"a name longer than its list", TlsClientHello({TlsExtension(0, {0, 5, 0, 0, 9, 'x'})}), "", 0, false, true,
         false, false},
    };
    for (const auto& one : cases)
    {
        CClientHello hello;
        ASSERT_TRUE(CClientHello::Read(one.segment.data(), one.segment.size(), hello)) << one.pszWhat;
        EXPECT_EQ(hello.serverName, one.pszName) << one.pszWhat;
        EXPECT_EQ(hello.nAlpn, one.nAlpn) << one.pszWhat;
        EXPECT_EQ(hello.bEch, one.bEch) << one.pszWhat;
        EXPECT_EQ(hello.bCut, one.bCut) << one.pszWhat;
        EXPECT_EQ(hello.bRepeated, one.bRepeated) << one.pszWhat;
        EXPECT_EQ(hello.bAlpnLeftOut, one.bAlpnLeftOut) << one.pszWhat;
    }
    CClientHello hello;
    ASSERT_TRUE(CClientHello::Read(good.data(), good.size(), hello));
    EXPECT_EQ(hello.alpn[1], "http/1.1");

    // Cut anywhere, a hello is cut, and what lay wholly before the cut is still read: the name, in
    // the extension before the ALPN's, as a segment that holds only part of a long hello has it.
    const size_t nNameEnd = good.size() - TlsAlpn({"h2", "http/1.1"}).size();
    for (size_t n = 6; n < good.size(); ++n)
    {
        const CBytes cut(good.begin(), good.begin() + std::ptrdiff_t(n));
        ASSERT_TRUE(CClientHello::Read(cut.data(), cut.size(), hello)) << n;
        EXPECT_TRUE(hello.bCut) << n;
        EXPECT_EQ(hello.serverName, n >= nNameEnd ? "mozilla.cloudflare-dns.com" : "") << n;
    }

    for (const CBytes& none :
         {CBytes {23, 3, 3, 0, 5, 1, 0, 0, 0, 0}, CBytes {22, 3, 3, 0, 4, 2, 0, 0, 0}, CBytes {22, 3, 1, 0}, CBytes {}})
        EXPECT_FALSE(CClientHello::Read(none.data(), none.size(), hello));
}
