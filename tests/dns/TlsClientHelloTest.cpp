// A ClientHello's server name, ALPN and ECH, read with bounded reads from hellos as clients send
// them and as a hostile sender may shape them.
#include "dns/DnsLayout.h"
#include "dns/TlsClientHello.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using CBytes = std::vector<unsigned char>;

void Put(CBytes& bytes, std::uint32_t nValue, size_t nBytes)
{
    for (size_t i = nBytes; i > 0; --i)
        bytes.push_back(static_cast<unsigned char>(nValue >> (8 * (i - 1))));
}

// The bytes after a length of nLengthBytes that counts them.
CBytes Vector(size_t nLengthBytes, const CBytes& inside)
{
    CBytes bytes;
    Put(bytes, std::uint32_t(inside.size()), nLengthBytes);
    bytes.insert(bytes.end(), inside.begin(), inside.end());
    return bytes;
}

CBytes Text(const std::string& strText)
{
    return CBytes(strText.begin(), strText.end());
}

CBytes Extension(std::uint16_t nType, const CBytes& data)
{
    CBytes bytes;
    Put(bytes, nType, 2);
    const CBytes inside = Vector(2, data);
    bytes.insert(bytes.end(), inside.begin(), inside.end());
    return bytes;
}

CBytes ServerName(const std::string& strName)
{
    CBytes entry {0};
    const CBytes name = Vector(2, Text(strName));
    entry.insert(entry.end(), name.begin(), name.end());
    return Extension(0, Vector(2, entry));
}

CBytes Alpn(const std::vector<std::string>& protocols)
{
    CBytes list;
    for (const std::string& strProtocol : protocols)
    {
        const CBytes protocol = Vector(1, Text(strProtocol));
        list.insert(list.end(), protocol.begin(), protocol.end());
    }
    return Extension(16, Vector(2, list));
}

// A whole TLS record holding a ClientHello with these extensions, as a client's first segment.
CBytes Hello(const std::vector<CBytes>& extensions)
{
    CBytes body {3, 3};
    body.resize(body.size() + 32, 0x5a);           // random
    body.push_back(0);                             // no session id
    const CBytes suites = Vector(2, {0x13, 0x01}); // one cipher suite
    body.insert(body.end(), suites.begin(), suites.end());
    body.insert(body.end(), {1, 0}); // compression: null
    CBytes all;
    for (const CBytes& extension : extensions)
        all.insert(all.end(), extension.begin(), extension.end());
    const CBytes list = Vector(2, all);
    body.insert(body.end(), list.begin(), list.end());
    CBytes handshake {TLS_HANDSHAKE_CLIENT_HELLO};
    const CBytes inside = Vector(3, body);
    handshake.insert(handshake.end(), inside.begin(), inside.end());
    CBytes record {TLS_RECORD_HANDSHAKE, 3, 1};
    const CBytes payload = Vector(2, handshake);
    record.insert(record.end(), payload.begin(), payload.end());
    return record;
}

} // namespace

TEST(TlsClientHelloTest, TheNameAlpnAndEchOfAHelloAreReadAndNothingPastIt)
{
    const CBytes good = Hello({ServerName("mozilla.cloudflare-dns.com"), Alpn({"h2", "http/1.1"})});
    // An ALPN that says it holds 65535 bytes, at the end of the list.
    const CBytes giant = Hello({ServerName("a.example"), CBytes {0x00, 0x10, 0xff, 0xff, 0x00}});
    const struct
    {
        const char* pszWhat;
        CBytes segment;
        const char* pszName;
        size_t nAlpn;
        bool bEch, bCut, bRepeated, bAlpnLeftOut;
    } cases[] = {
        {"a browser's hello", good, "mozilla.cloudflare-dns.com", 2, false, false, false, false},
        {"ECH offered: the outer name", Hello({ServerName("public.example"), Extension(0xfe0d, {1, 2, 3})}),
         "public.example", 0, true, false, false, false},
        {"no extensions at all", Hello({}), "", 0, false, false, false, false},
        {"a second server name", Hello({ServerName("first.example"), ServerName("second.example")}), "first.example", 0,
         false, false, true, false},
        {"nine protocols", Hello({Alpn({"a", "b", "c", "d", "e", "f", "g", "h", "i"})}), "", 8, false, false, false,
         true},
        {"an extension past the record", giant, "a.example", 0, false, true, false, false},
        {"a name longer than its list", Hello({Extension(0, {0, 5, 0, 0, 9, 'x'})}), "", 0, false, true, false, false},
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

    // Cut anywhere, a hello is cut, and what lay wholly before the cut is still read.
    for (size_t n = 6; n < good.size(); ++n)
    {
        const CBytes cut(good.begin(), good.begin() + std::ptrdiff_t(n));
        ASSERT_TRUE(CClientHello::Read(cut.data(), cut.size(), hello)) << n;
        EXPECT_TRUE(hello.bCut) << n;
        EXPECT_TRUE(hello.serverName.empty() || hello.serverName == "mozilla.cloudflare-dns.com") << n;
    }

    for (const CBytes& none :
         {CBytes {23, 3, 3, 0, 5, 1, 0, 0, 0, 0}, CBytes {22, 3, 3, 0, 4, 2, 0, 0, 0}, CBytes {22, 3, 1, 0}, CBytes {}})
        EXPECT_FALSE(CClientHello::Read(none.data(), none.size(), hello));
}
