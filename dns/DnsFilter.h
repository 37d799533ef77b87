#pragma once

#include <linux/filter.h>
#include <vector>

// The classic BPF program the capture socket runs in the kernel: it keeps the frames that the
// decoder can take a name from and drops everything else, so other traffic never wakes a reader.
// It reads frames from the network header on (a SOCK_DGRAM packet socket) and keeps:
// - IPv4, protocol UDP or TCP, fragment offset 0, at the real header length; or IPv6 whose chain of
//   hop-by-hop, routing, destination-options and first-fragment headers, at most
//   MAX_IPV6_EXTENSION_HEADERS long, ends at UDP or TCP;
// - that carries a query to port 53: a message whose QR bit is clear, over UDP the one after the
//   header, over TCP the one the payload would start with after its length prefix;
// - without bQueriesOnly also a response from port 53: the same message with its QR bit set.
// - with nHelloSnapLength, also what opens a connection that may speak DNS encrypted, to port 853
//   or 443: over TCP a segment whose payload starts a TLS ClientHello (record type 22, version
//   3, handshake type 1), the one segment of a connection that says where it goes; over UDP a
//   QUIC packet with the long header and the fixed bit, which only the handshake's few packets
//   have. Such a segment is cut to nHelloSnapLength bytes, a QUIC packet to QUIC_SNAP_LENGTH.
// A kept query is cut to nSnapLength bytes, a kept response to nResponseSnapLength (0: as a
// query). Deliberately a little wider than the decoder: it does not look at payload lengths, the
// length prefix or the question; the decoder does.
std::vector<sock_filter> BuildDnsFilter(unsigned nSnapLength, bool bQueriesOnly = true,
                                        unsigned nResponseSnapLength = 0, unsigned nHelloSnapLength = 0);

// A QUIC packet's addresses and first byte are all the helper reads of it.
constexpr unsigned QUIC_SNAP_LENGTH = 128;
