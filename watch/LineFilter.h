#pragma once

#include "watch/ExchangeLine.h"
#include "watch/NameGlob.h"
#include "watch/QueryLine.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Which lines tarrow-watch prints, decided after decoding on the line's own fields, so that a filter
// says exactly what the line it keeps shows. Values of one kind are alternatives; the kinds must all
// agree; a name matching an excluded glob drops the line whatever else it matches.
class CLineFilter
{
public:
    enum Kind
    {
        NAME,         // a glob on the name's presentation form, the case of ASCII letters ignored
        EXCLUDE_NAME, // the same, for names to drop
        TYPE,         // query types as a comma list: mnemonics or TYPE and the number
        PROGRAM,      // the sending program's command, exactly
        USER,         // the sending program's user name, exactly
        SOURCE,       // an IPv4 or IPv6 prefix (CIDR) holding the query's source address
        RCODE,        // response codes as a comma list: names, RCODE and the number, unanswered, or
                      // a lookup's result in the C library's words
        MIN_LATENCY,  // milliseconds an answer took at least; unanswered exchanges pass
    };

    // False with what the kind takes in strError when the value is none of it.
    bool Add(Kind nKind, std::string_view value, std::string& strError);
    bool IsEmpty() const;
    // Whether a kind was given that only exchanges can tell.
    bool NeedsExchanges() const { return !m_rcodes.empty() || m_bUnanswered || m_bHasMinLatency; }

    // pExchange is null for a query printed on its own.
    bool Keeps(const CQueryLine& line, const CExchangeLine* pExchange);

private:
    struct CPrefix
    {
        bool bIpv6 = false;
        unsigned char abAddress[16] = {};
        unsigned nBits = 0;
    };

    static bool IsNameIn(const std::vector<CNameGlob>& globs, std::string_view presented);
    bool IsSourceIn(const std::string& strSource) const;

    std::vector<CNameGlob> m_names;
    std::vector<CNameGlob> m_excludedNames;
    std::vector<std::string> m_types; // each as DnsTypeName writes it
    std::vector<std::string> m_programs;
    std::vector<std::string> m_users;
    std::vector<CPrefix> m_sources;
    std::vector<std::string> m_rcodes; // each as DnsRcodeName writes it
    bool m_bUnanswered = false;
    bool m_bHasMinLatency = false;
    std::uint64_t m_nMinLatencyUs = 0;
    // The name of the line being decided in its presentation form, when that differs from its bytes.
};
