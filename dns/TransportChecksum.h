#pragma once

#include "dns/PacketLayers.h"

// Whether a frame's UDP or TCP checksum holds: a response whose checksum is wrong never reached
// the program that asked (its kernel dropped it), so it must not pass for the answer either, or a
// forger could put a made-up answer beside every query while the real one is set aside.
//
// A checksum the sending host left for its network card to fill is not wrong, and captures taken
// on that host show it unfilled. A live frame says so itself (the kernel marks it not yet summed);
// a file's frame cannot, so there the field holding just the pseudo-header's sum, which is what
// Linux leaves for the card, is taken as sound too. UDP over IPv4 may carry no checksum at all (0).

enum class EChecksumHint : unsigned char
{
    FILE_FRAME,      // from a capture file: nothing is known beyond the bytes
    LIVE_FRAME,      // captured live, and the kernel says nothing of its checksum
    LIVE_VALID,      // captured live, its checksum already checked by the kernel or the card
    LIVE_NOT_SUMMED, // captured live as this host sent it, for the card to fill
};

enum class EChecksum : unsigned char
{
    SOUND,
    WRONG,
    // Not all of the datagram is here: a first fragment, or a frame the capture cut short.
    UNCHECKED,
};

// The bytes are those of the datagram (narrowed to the IP header's end), transport the header
// FindIpv4Transport or FindIpv6Transport found in them.
EChecksum CheckTransportChecksum(const CPacketBytes& datagram, const CTransportHeader& transport, EChecksumHint hint);

// A word for logs and tests: "sound", "wrong", "unchecked".
const char* ChecksumText(EChecksum eChecksum);
