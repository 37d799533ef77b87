#pragma once

// The lookup records of what the program in the kernel tells of lookups: under the privacy rule,
// with the name in its master-file form (getnameinfo()'s as the address's reverse name) and the
// kernel's times made real times. No system calls.

#include "channel/Channel.h"
#include "helper/bpf/LookupEvent.h"

#include <cstdint>
#include <string>
#include <string_view>

class CLookupRecords
{
public:
    // nOwnUid is the capturing user (SenderPrivacy.h).
    explicit CLookupRecords(std::uint32_t nOwnUid) : m_nOwnUid(nOwnUid) {}

    // False for a lookup the capturing user may not see at all (another person's), and for an
    // address given as text, which is no lookup. Otherwise the
    // record and its tail stand until the next call. nRealMinusMonotonicNs is how far the real
    // time is ahead of the kernel's monotonic clock.
    bool Make(const lookup_event& event, std::int64_t nRealMinusMonotonicNs);
    const Channel::CLookupRecord& GetRecord() const { return m_record; }
    std::string_view GetTail() const { return m_strTail; }

    // Whether the text is an IPv4 or IPv6 address (with a scope, too), which the C library takes as
    // it is.
    static bool IsAddressText(std::string_view text);
    // The name a reverse lookup of the address asks: in-addr.arpa or ip6.arpa.
    static void AppendReverseName(std::string& strOut, std::uint8_t nVersion, const std::uint8_t* pAddress);

private:
    std::uint32_t m_nOwnUid;
    Channel::CLookupRecord m_record;
    std::string m_strTail;
};
