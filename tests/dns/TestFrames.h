#pragma once

// Frames as a packet socket reads them (from the network header on), put together layer by layer
// for the decoder and filter tests, and capture files read into such frames.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using CBytes = std::vector<unsigned char>;

CBytes operator+(CBytes a, const CBytes& b);

// A DNS header (one question) followed by `question`: a wire name, possibly with type and class.
CBytes DnsMessage(const CBytes& question);
// The message as TCP carries it: its two-byte length first.
CBytes WithLengthPrefix(const CBytes& message);

CBytes UdpSegment(uint16_t nSourcePort, uint16_t nDestPort, const CBytes& payload);
// nHeaderWords is the data offset; the words past 5 are no-operation options.
CBytes TcpSegment(uint16_t nSourcePort, uint16_t nDestPort, const CBytes& payload, unsigned nHeaderWords = 5);

// nHeaderWords is the IHL; the words past 5 are no-operation options. nFragmentField is the
// whole flags-and-offset field, so 0x2000 is a first fragment with more to come. A whole datagram
// gets its UDP or TCP checksum filled in, as the sending host's stack would.
CBytes Ipv4Frame(unsigned char nProtocol, const CBytes& segment, unsigned nHeaderWords = 5,
                 uint16_t nFragmentField = 0);

struct CExtension
{
    unsigned char nType;         // 0, 43, 60 or 44 (fragment), or anything to put in the chain
    unsigned char nUnits = 0;    // the length byte: 8-byte units past the first 8
    uint16_t nFragmentField = 0; // a fragment header's offset-and-flags field
};
CBytes Ipv6Frame(const std::vector<CExtension>& chain, unsigned char nProtocol, const CBytes& segment);

// TLS as a client's first segment holds it: the bytes after a length of nLengthBytes that counts
// them, an extension, the server name and ALPN extensions, and a whole handshake record holding a
// ClientHello with these extensions.
CBytes TlsVector(size_t nLengthBytes, const CBytes& inside);
CBytes TlsExtension(std::uint16_t nType, const CBytes& data);
CBytes TlsServerName(const std::string& strName);
CBytes TlsAlpn(const std::vector<std::string>& protocols);
CBytes TlsClientHello(const std::vector<CBytes>& extensions);

// The IPv4 and IPv6 frames of an Ethernet capture file (an absolute path, or one in
// tests/data/captures), as captured (a packet socket hands over what follows the 14-byte Ethernet
// header).
std::vector<CBytes> ReadCaptureFrames(const std::string& strFile);
