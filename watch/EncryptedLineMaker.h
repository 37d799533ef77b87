#pragma once

#include "channel/Channel.h"
#include "watch/ExchangeLine.h"
#include "watch/QueryLine.h"
#include "watch/QueryLineMaker.h"

#include <string>
#include <string_view>

// Turns an encrypted connection's record into the two parts of its line, as an exchange's: its
// frame's time, transport, addresses and ports, the server name and who opened it as a query's
// fields (no type, no DNS id); how it speaks DNS (DoT, DoH, DoQ), its ALPN protocols, and as the
// flags what the hello said of itself (ech, cut) and how it was told (by-address). Both stand until
// the next call.
class CEncryptedLineMaker
{
public:
    explicit CEncryptedLineMaker(CQueryLineMaker& queries) : m_queries(queries) {}

    struct CMade
    {
        const CQueryLine& query;
        const CExchangeLine& exchange;
    };
    CMade Make(const Channel::CEncryptedRecord& encrypted, std::string_view name, std::string_view alpn);

    // The protocol in the words the field uses: DoT, DoH or DoQ.
    static std::string_view ProtocolWord(std::uint8_t nProtocol);

private:
    CQueryLineMaker& m_queries;
    Channel::CNameRecord m_asQuery;
    CQueryLine m_query;
    CExchangeLine m_exchange;
    std::string m_strFlags;
};
