#pragma once

#include "channel/Channel.h"
#include "watch/ExchangeLine.h"
#include "watch/QueryLine.h"
#include "watch/QueryLineMaker.h"
#include "watch/SenderNames.h"

#include <string>
#include <string_view>
#include <vector>

// Turns an ended lookup's record into the two parts of its line, as an exchange's: the name, the
// time it began and who asked as the query's fields (no frame: no transport, addresses, ports or
// id); the result in the C library's words as the code, what could not be read as the flags
// (name-cut, addresses-cut, unread), the family, the addresses found (or the host a reverse lookup
// found) as answers without a TTL, and the call's time as the latency. Both stand until the next
// call.
class CLookupLineMaker
{
public:
    CLookupLineMaker(CQueryLineMaker& times, CSenderNames& senders) : m_times(times), m_senders(senders) {}

    struct CMade
    {
        const CQueryLine& query;
        const CExchangeLine& exchange;
    };
    CMade Make(const Channel::CLookupRecord& lookup, std::string_view name, std::string_view host);

    // The family asked, in this program's words.
    static std::string FamilyWord(std::uint8_t nFamily);

private:
    CQueryLineMaker& m_times;
    CSenderNames& m_senders;
    CQueryLine m_query;
    CExchangeLine m_exchange;
    std::string m_strResult;
    std::string m_strFamily;
    std::string m_strFlags;
    std::string m_strHost;
    std::string m_strOwner;
    std::vector<std::string> m_addresses;
};
