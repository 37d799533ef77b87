#include "watch/LineFilter.h"

#include "watch/LookupResult.h"

#include "dns/DnsTypes.h"
#include "dns/PresentationForm.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cmath>

namespace {

// A glob that can match a presentation form: printable ASCII, not ending in a lone escaping
// backslash, which fnmatch would make match nothing without a word.
bool IsGlob(std::string_view glob)
{
    if (glob.empty() || !std::all_of(glob.begin(), glob.end(), [](char c) { return c >= ' ' && c < 0x7f; }))
        return false;
    const size_t nLast = glob.find_last_not_of('\\');
    const size_t nTrailing = glob.size() - (nLast == std::string_view::npos ? 0 : nLast + 1);
    return nTrailing % 2 == 0;
}

std::string Upper(std::string_view text)
{
    std::string strUpper(text);
    for (char& c : strUpper)
    {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return strUpper;
}

// Splits a comma list, calling take on each item; false as soon as one is empty or refused.
template <typename Take>
bool ForEachItem(std::string_view list, Take take)
{
    for (;;)
    {
        const size_t nComma = list.find(',');
        const std::string_view item = list.substr(0, nComma);
        if (item.empty() || !take(item))
            return false;
        if (nComma == std::string_view::npos)
            return true;
        list.remove_prefix(nComma + 1);
    }
}

// A type or a response code by its mnemonic or as TYPE or RCODE and its number, kept as the lines
// write it (TYPE28 is written AAAA), so that it is compared with what they show.
bool ParseType(std::string_view item, std::string& strType)
{
    std::uint16_t nType = 0;
    if (!ParseDnsType(item, nType))
        return false;
    strType = DnsTypeName(nType);
    return true;
}

bool ParseRcode(std::string_view item, std::string& strRcode)
{
    std::uint16_t nRcode = 0;
    if (!ParseDnsRcode(item, nRcode))
        return false;
    strRcode = DnsRcodeName(nRcode);
    return true;
}

// An address alone is a prefix of its whole length.
bool ParsePrefix(std::string_view text, bool& bIpv6, unsigned char* pAddress, unsigned& nBits)
{
    const size_t nSlash = text.find('/');
    const std::string strAddress(text.substr(0, nSlash));
    bIpv6 = strAddress.find(':') != std::string::npos;
    if (inet_pton(bIpv6 ? AF_INET6 : AF_INET, strAddress.c_str(), pAddress) != 1)
        return false;
    const unsigned nMaxBits = bIpv6 ? 128 : 32;
    nBits = nMaxBits;
    if (nSlash == std::string_view::npos)
        return true;
    const std::string_view bits = text.substr(nSlash + 1);
    const auto result = std::from_chars(bits.data(), bits.data() + bits.size(), nBits);
    return !bits.empty() && result.ec == std::errc() && result.ptr == bits.data() + bits.size() && nBits <= nMaxBits;
}

bool IsInPrefix(const unsigned char* pAddress, const unsigned char* pPrefix, unsigned nBits)
{
    const unsigned nBytes = nBits / 8;
    if (!std::equal(pPrefix, pPrefix + nBytes, pAddress))
        return false;
    const unsigned nRest = nBits % 8;
    const unsigned char bMask = std::uint8_t(0xff << (8 - nRest));
    return nRest == 0 || (pAddress[nBytes] & bMask) == (pPrefix[nBytes] & bMask);
}

} // namespace

bool CLineFilter::Add(Kind nKind, std::string_view value, std::string& strError)
{
    const auto Refuse = [&](const char* pszWhat) {
        strError = pszWhat;
        return false;
    };
    switch (nKind)
    {
    case NAME:
    case EXCLUDE_NAME:
        if (!IsGlob(value))
            return Refuse("a glob of printable ASCII such as *.example.com");
        (nKind == NAME ? m_names : m_excludedNames).emplace_back(value);
        return true;
    case TYPE:
        return ForEachItem(value,
                           [&](std::string_view item) {
                               std::string strType;
                               if (!ParseType(item, strType))
                                   return false;
                               m_types.push_back(strType);
                               return true;
                           })
               || Refuse("a type or a comma list of them: A, AAAA, HTTPS... or TYPE and a number up to 65535");
    case PROGRAM:
    case USER:
        if (value.empty())
            return Refuse(nKind == PROGRAM ? "a program's command" : "a user name");
        (nKind == PROGRAM ? m_programs : m_users).emplace_back(value);
        return true;
    case SOURCE:
    {
        CPrefix prefix;
        if (!ParsePrefix(value, prefix.bIpv6, prefix.abAddress, prefix.nBits))
            return Refuse("a CIDR prefix such as 192.0.2.0/24 or 2001:db8::/32, or one address");
        m_sources.push_back(prefix);
        return true;
    }
    case RCODE:
        return ForEachItem(value,
                           [&](std::string_view item) {
                               if (Upper(item) == "UNANSWERED")
                               {
                                   m_bUnanswered = true;
                                   return true;
                               }
                               // A lookup's result is named as the C library names it.
                               if (IsLookupResultName(item))
                               {
                                   m_rcodes.emplace_back(item);
                                   return true;
                               }
                               std::string strRcode;
                               if (!ParseRcode(item, strRcode))
                                   return false;
                               m_rcodes.push_back(strRcode);
                               return true;
                           })
               || Refuse("a response code or a comma list of them: NOERROR, NXDOMAIN, SERVFAIL..., RCODE and a "
                         "number up to 255, unanswered, or a lookup's result: SUCCESS, EAI_NONAME, "
                         "HOST_NOT_FOUND...");
    case MIN_LATENCY:
    {
        double dMs = 0;
        const auto result = std::from_chars(value.data(), value.data() + value.size(), dMs);
        if (result.ec != std::errc() || result.ptr != value.data() + value.size() || !(dMs >= 0) || dMs > 1e12)
            return Refuse("a number of milliseconds, 0 or more");
        m_bHasMinLatency = true;
        m_nMinLatencyUs = std::uint64_t(std::ceil(dMs * 1000));
        return true;
    }
    }
    return Refuse("nothing");
}

bool CLineFilter::IsEmpty() const
{
    return m_names.empty() && m_excludedNames.empty() && m_types.empty() && m_programs.empty() && m_users.empty()
           && m_sources.empty() && !NeedsExchanges();
}

bool CLineFilter::IsNameIn(const std::vector<CNameGlob>& globs, std::string_view presented)
{
    return std::any_of(globs.begin(), globs.end(),
                       [presented](const CNameGlob& glob) { return glob.Matches(presented); });
}

bool CLineFilter::IsSourceIn(const std::string& strSource) const
{
    unsigned char abAddress[16] = {};
    const bool bIpv6 = strSource.find(':') != std::string::npos;
    if (inet_pton(bIpv6 ? AF_INET6 : AF_INET, strSource.c_str(), abAddress) != 1)
        return false;
    return std::any_of(m_sources.begin(), m_sources.end(), [&](const CPrefix& prefix) {
        return prefix.bIpv6 == bIpv6 && IsInPrefix(abAddress, prefix.abAddress, prefix.nBits);
    });
}

bool CLineFilter::Keeps(const CQueryLine& line, const CExchangeLine* pExchange)
{
    const auto IsOneOf = [](const std::vector<std::string>& values, std::string_view value) {
        return values.empty() || std::find(values.begin(), values.end(), value) != values.end();
    };
    if (!IsOneOf(m_types, line.strType) || !IsOneOf(m_programs, line.program) || !IsOneOf(m_users, line.user))
        return false;
    if (!m_sources.empty() && !IsSourceIn(line.strSource))
        return false;
    if (pExchange != nullptr)
    {
        const bool bUnanswered = pExchange->nKind == CExchangeLine::UNANSWERED;
        if ((!m_rcodes.empty() || m_bUnanswered)
            && !(bUnanswered ? m_bUnanswered
                             : std::find(m_rcodes.begin(), m_rcodes.end(), pExchange->rcode) != m_rcodes.end()))
            return false;
        // A response whose query was not seen took no time anyone knows.
        if (m_bHasMinLatency && !bUnanswered && !(pExchange->bHasLatency && pExchange->nLatencyUs >= m_nMinLatencyUs))
            return false;
    }
    if (m_names.empty() && m_excludedNames.empty())
        return true;
    // Names come in their presentation form already: that is what the globs match.
    return (m_names.empty() || IsNameIn(m_names, line.name)) && !IsNameIn(m_excludedNames, line.name);
}
