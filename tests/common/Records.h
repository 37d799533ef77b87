#pragma once

// Records as the helper writes them, for the tests of what reads them: the fields the reader's
// table checks are set to believable values, the rest left as the struct starts them.

#include "channel/Channel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace TestRecords {

inline Channel::COpenedRecord Opened(std::int32_t nStep, std::int32_t nError, std::int32_t nReceiveAllError = 0)
{
    Channel::COpenedRecord opened;
    opened.nStep = nStep;
    opened.nError = nError;
    opened.nReceiveAllError = nReceiveAllError;
    return opened;
}

// A UDP query over IPv4 whose name is text.
inline Channel::CNameRecord Name(std::int64_t nSeconds, std::uint32_t nNanoseconds, std::string_view text)
{
    Channel::CNameRecord name;
    name.facts.nSeconds = nSeconds;
    name.facts.nNanoseconds = nNanoseconds;
    name.nLength = std::uint16_t(text.size());
    name.facts.nProtocol = 17;
    name.facts.nIpVersion = 4;
    return name;
}

// A query with every fact of its layers: HTTPS for a name from 10.53.1.2:40000 to 10.53.1.1:53.
inline Channel::CNameRecord Query()
{
    Channel::CNameRecord record = Name(1765100000, 123456789, {});
    record.facts.nQueryType = 65;
    record.facts.bHasType = 1;
    const unsigned char source[] = {10, 53, 1, 2}, destination[] = {10, 53, 1, 1};
    std::memcpy(record.facts.abSource, source, 4);
    std::memcpy(record.facts.abDestination, destination, 4);
    record.facts.nSourcePort = 40000;
    record.facts.nDestinationPort = 53;
    record.facts.nDnsId = 0xBEEF;
    return record;
}

inline Channel::CCountsRecord Counts(std::uint64_t nReceived, std::uint64_t nDropped)
{
    Channel::CCountsRecord counts;
    counts.nReceived = nReceived;
    counts.nDropped = nDropped;
    return counts;
}

inline Channel::CFailedRecord Failed(std::int32_t nError)
{
    Channel::CFailedRecord failed;
    failed.nError = nError;
    return failed;
}

// The record's bytes and the tail after it, as they travel.
template <class TRecord>
std::vector<unsigned char> Raw(const TRecord& record, std::string_view tail = {})
{
    std::vector<unsigned char> bytes(sizeof(record) + tail.size());
    std::memcpy(bytes.data(), &record, sizeof(record));
    std::copy(tail.begin(), tail.end(), bytes.begin() + sizeof(record));
    return bytes;
}

} // namespace TestRecords
