#pragma once

#include "channel/Channel.h"

#include <cstdint>
#include <string>
#include <string_view>

// One query as tarrow-watch prints it, every field as text or number before any format's rules.
// Texts that come from the wire or from other processes (name, program, user, unit) are kept as
// their bytes: each format writes them in their presentation form. Empty texts and zero numbers
// where a field is marked "known only" are unknown.
struct CQueryLine
{
    std::string strTime;
    std::string_view name;
    std::string strType; // empty: the frame ended before it, or a lookup, which has no frame
    // False for a lookup: no transport, addresses, ports or id.
    bool bHasFrame = true;
    const char* pszTransport = "";
    std::string strSource;
    std::string strDestination;
    std::uint16_t nSourcePort = 0;
    std::uint16_t nDestinationPort = 0;
    std::uint16_t nDnsId = 0;
    // False for an encrypted connection's line: its frame has no DNS id to show.
    bool bHasDnsId = true;
    // Each format says it in its own words; SENDER_UNKNOWN leaves the field unknown.
    Channel::Sender nSender = Channel::SENDER_UNKNOWN;
    std::uint32_t nPid = 0;
    std::string_view program;
    std::string_view user;
    std::string_view unit;
    std::uint32_t nNetNs = 0;
};
