#pragma once

#include <cstddef>

// Where a DNS query sits in a captured frame. The decoder and the kernel filter both read these,
// so the filter never drops a frame that the decoder would have named.

constexpr unsigned DNS_PORT = 53;

constexpr unsigned char IP_VERSION_4 = 4;
constexpr unsigned char IP_VERSION_6 = 6;

// IPv4: the header length (IHL) counts 4-byte words; the fragment offset is the low 13 bits of the
// 16-bit field at byte 6.
constexpr size_t IPV4_MIN_HEADER_SIZE = 20;
constexpr size_t IPV4_TOTAL_LENGTH_OFFSET = 2;
constexpr size_t IPV4_FRAGMENT_OFFSET = 6;
constexpr unsigned IPV4_FRAGMENT_OFFSET_MASK = 0x1FFF;
constexpr unsigned IPV4_MORE_FRAGMENTS = 0x2000;
constexpr size_t IPV4_PROTOCOL_OFFSET = 9;
constexpr size_t IPV4_SOURCE_OFFSET = 12;
constexpr size_t IPV4_DESTINATION_OFFSET = 16;

// IPv6: a fixed header, then a chain of extension headers, each naming the next.
constexpr size_t IPV6_HEADER_SIZE = 40;
constexpr size_t IPV6_PAYLOAD_LENGTH_OFFSET = 4;
constexpr size_t IPV6_NEXT_HEADER_OFFSET = 6;
constexpr size_t IPV6_SOURCE_OFFSET = 8;
constexpr size_t IPV6_DESTINATION_OFFSET = 24;
constexpr unsigned char IPV6_HOP_BY_HOP = 0;
constexpr unsigned char IPV6_ROUTING = 43;
constexpr unsigned char IPV6_FRAGMENT = 44;
constexpr unsigned char IPV6_DESTINATION_OPTIONS = 60;
// Hop-by-hop, routing and destination options count their length in 8-byte units past the first 8.
constexpr size_t IPV6_EXTENSION_UNIT = 8;
constexpr size_t IPV6_FRAGMENT_HEADER_SIZE = 8;
// Within the fragment header, the 16-bit field at byte 2: the offset is its upper 13 bits.
constexpr size_t IPV6_FRAGMENT_OFFSET_FIELD = 2;
constexpr unsigned IPV6_FRAGMENT_OFFSET_MASK = 0xFFF8;
constexpr unsigned IPV6_MORE_FRAGMENTS = 0x0001;
// Real traffic carries one or two extension headers; a longer chain is not walked, so a frame of
// hundreds of tiny headers costs a bounded walk and gives no name.
constexpr unsigned MAX_IPV6_EXTENSION_HEADERS = 8;

constexpr unsigned char PROTOCOL_TCP = 6;
constexpr unsigned char PROTOCOL_UDP = 17;

// Both transports put the destination port at byte 2 of their header.
constexpr size_t SOURCE_PORT_OFFSET = 0;
constexpr size_t DESTINATION_PORT_OFFSET = 2;
constexpr size_t UDP_HEADER_SIZE = 8;
constexpr size_t UDP_LENGTH_OFFSET = 4;
constexpr size_t UDP_CHECKSUM_OFFSET = 6;
constexpr size_t TCP_CHECKSUM_OFFSET = 16;
constexpr size_t TCP_MIN_HEADER_SIZE = 20;
// The upper nibble of byte 12 is the TCP header length in 4-byte words.
constexpr size_t TCP_SEQUENCE_OFFSET = 4;
constexpr size_t TCP_DATA_OFFSET_OFFSET = 12;

// Over TCP every DNS message is preceded by its length, two bytes big-endian.
constexpr size_t DNS_TCP_LENGTH_SIZE = 2;
constexpr size_t DNS_HEADER_SIZE = 12;
// The QR bit, the top bit of the header's first flags byte, is set in every response.
constexpr size_t DNS_FLAGS_OFFSET = 2;
constexpr unsigned char DNS_QR_BIT = 0x80;
constexpr size_t DNS_QUESTION_COUNT_OFFSET = 4;
// A length byte of 64 to 127 would be a longer label than DNS allows; 128 and above are not
// lengths at all (compression pointers and the like).
constexpr unsigned char DNS_MAX_LABEL_LENGTH = 63;

// What starts a TLS ClientHello: a handshake record of version 3.x, whose 5-byte header is
// followed by the handshake's type.
constexpr unsigned char TLS_RECORD_HANDSHAKE = 22;
constexpr unsigned char TLS_MAJOR_VERSION = 3;
constexpr size_t TLS_RECORD_HEADER_SIZE = 5;
constexpr unsigned char TLS_HANDSHAKE_CLIENT_HELLO = 1;
// QUIC's long header and fixed bit, the first byte's top two.
constexpr unsigned char QUIC_LONG_HEADER_BITS = 0xC0;
