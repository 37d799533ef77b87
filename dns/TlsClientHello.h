#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// What the first data segment of a TLS connection says of where it goes, read from its ClientHello
// with bounded reads: the server name (SNI's host_name), the ALPN protocols, and whether ECH was
// offered (then the name is only the outer one, of the provider's front). Nothing is read past the
// segment: a length that points past it marks the hello as cut, and what was read before stands.
// The views point into the segment.
struct CClientHello
{
    static constexpr size_t MAX_ALPN = 8;

    std::string_view serverName; // raw bytes, empty when none was sent
    std::string_view alpn[MAX_ALPN];
    size_t nAlpn = 0;
    bool bAlpnLeftOut = false; // more protocols than MAX_ALPN
    bool bEch = false;
    bool bCut = false; // the segment ends, or a length points past what holds it
    // An extension that TLS allows once came again: the first is the one read.
    bool bRepeated = false;

    // False for a segment that does not start a ClientHello; otherwise fills hello.
    static bool Read(const unsigned char* pSegment, size_t nLength, CClientHello& hello);
    // Whether the segment starts one, as the kernel filter tells it (dns/DnsLayout.h).
    static bool Starts(const unsigned char* pSegment, size_t nLength);
};
