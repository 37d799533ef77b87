#pragma once

#include "channel/Channel.h"
#include "watch/QueryLine.h"
#include "watch/SenderNames.h"

#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

// Turns a name record into the fields tarrow-watch prints: RFC 3339 time with microseconds (the
// local offset, or Z), the query type's mnemonic, the addresses as text, and the sender's user and
// unit looked up on this machine. Reuses its buffers, so a flood costs no allocation per query.
class CQueryLineMaker
{
public:
    explicit CQueryLineMaker(bool bUtc, CSenderNames* pSenders = nullptr) : m_bUtc(bUtc), m_pSenders(pSenders) {}

    // The line stays valid until the next call and while text lives.
    const CQueryLine& Make(const Channel::CNameRecord& record, std::string_view text);
    // The sender's fields of a line, the user and unit looked up when pSenders is given; texts that
    // stay valid while sender and pSenders live.
    static void SetSender(CQueryLine& line, Channel::Sender nSender, const Channel::CSenderFacts& sender,
                          CSenderNames* pSenders);
    // The time alone, for records that are not queries.
    std::string FormatTime(std::int64_t nSeconds, std::uint32_t nNanoseconds);

private:
    // The address whose text a field of m_line holds from the last query.
    struct CAddressKey
    {
        std::uint8_t nIpVersion = 0xff; // none yet
        std::uint8_t abAddress[16] = {};
    };

    static void SetAddress(std::string& strText, CAddressKey& last, std::uint8_t nIpVersion,
                           const std::uint8_t* pAddress);

    // The date, time of day and offset of a second, cached; false for one RFC 3339 cannot write.
    bool WriteSecond(std::int64_t nSeconds, bool bUtc);
    void AppendTime(std::string& strText, std::int64_t nSeconds, std::uint32_t nNanoseconds);

    bool m_bUtc;
    CSenderNames* m_pSenders;
    CQueryLine m_line;
    CAddressKey m_source;
    CAddressKey m_destination;
    // The date, time of day and offset of the last second formatted: queries come many a second.
    std::int64_t m_nCachedSecond = std::numeric_limits<std::int64_t>::min(); // none yet
    std::string m_strSecond;
    std::string m_strOffset;
};
