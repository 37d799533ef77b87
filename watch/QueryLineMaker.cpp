#include "watch/QueryLineMaker.h"

#include "dns/DnsLayout.h"
#include "dns/DnsTypes.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

using namespace Channel;

const CQueryLine& CQueryLineMaker::Make(const CNameRecord& record, std::string_view text)
{
    CQueryLine& line = m_line;
    AppendTime(line.strTime, record.facts.nSeconds, record.facts.nNanoseconds);
    line.name = text;
    line.strType = record.facts.bHasType != 0 ? DnsTypeName(record.facts.nQueryType) : std::string();
    line.pszTransport = record.facts.nProtocol == PROTOCOL_TCP ? "tcp" : "udp";
    SetAddress(line.strSource, m_source, record.facts.nIpVersion, record.facts.abSource);
    SetAddress(line.strDestination, m_destination, record.facts.nIpVersion, record.facts.abDestination);
    line.nSourcePort = record.facts.nSourcePort;
    line.nDestinationPort = record.facts.nDestinationPort;
    line.nDnsId = record.facts.nDnsId;
    SetSender(line, Sender(record.nSender), record.sender, m_pSenders);
    return line;
}

void CQueryLineMaker::SetSender(CQueryLine& line, Sender nSender, const CSenderFacts& sender, CSenderNames* pSenders)
{
    line.nSender = nSender;
    const bool bProgram = nSender == SENDER_PROGRAM;
    line.nPid = bProgram ? sender.nPid : 0;
    line.program = bProgram ? std::string_view(sender.szCommand) : std::string_view();
    line.user = bProgram && pSenders ? std::string_view(pSenders->UserName(sender.nUid)) : std::string_view();
    line.unit = bProgram && pSenders && sender.nCgroupId != 0 ? std::string_view(pSenders->UnitOf(sender.nCgroupId))
                                                              : std::string_view();
    line.nNetNs = bProgram ? sender.nNetNs : 0;
}

// Queries mostly go to the same server from few clients: a field whose address is the last one's
// keeps its text.
void CQueryLineMaker::SetAddress(std::string& strText, CAddressKey& last, std::uint8_t nIpVersion,
                                 const std::uint8_t* pAddress)
{
    if (nIpVersion == last.nIpVersion && std::memcmp(pAddress, last.abAddress, sizeof(last.abAddress)) == 0)
        return;
    char szAddress[INET6_ADDRSTRLEN] = {};
    inet_ntop(nIpVersion == IP_VERSION_6 ? AF_INET6 : AF_INET, pAddress, szAddress, sizeof(szAddress));
    strText = szAddress;
    last.nIpVersion = nIpVersion;
    std::memcpy(last.abAddress, pAddress, sizeof(last.abAddress));
}

std::string CQueryLineMaker::FormatTime(std::int64_t nSeconds, std::uint32_t nNanoseconds)
{
    std::string strText;
    AppendTime(strText, nSeconds, nNanoseconds);
    return strText;
}

// RFC 3339 writes years of four digits.
bool CQueryLineMaker::WriteSecond(std::int64_t nSeconds, bool bUtc)
{
    constexpr int FIRST_YEAR = 0, LAST_YEAR = 9999, TM_YEAR_BASE = 1900;
    const auto tSeconds = static_cast<std::time_t>(nSeconds);
    std::tm parts {};
    if ((bUtc ? gmtime_r(&tSeconds, &parts) : localtime_r(&tSeconds, &parts)) == nullptr
        || parts.tm_year < FIRST_YEAR - TM_YEAR_BASE || parts.tm_year > LAST_YEAR - TM_YEAR_BASE)
        return false;
    char szSecond[96];
    std::snprintf(szSecond, sizeof(szSecond), "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + TM_YEAR_BASE,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    m_strSecond = szSecond;
    // One assignment for both: GCC 12 at -O3 warns falsely of an overlapping copy when a literal is
    // assigned here.
    char szOffset[48] = "Z";
    if (!bUtc)
    {
        const long nOffset = parts.tm_gmtoff;
        const long nMinutes = (nOffset < 0 ? -nOffset : nOffset) / 60;
        std::snprintf(szOffset, sizeof(szOffset), "%c%02ld:%02ld", nOffset < 0 ? '-' : '+', nMinutes / 60,
                      nMinutes % 60);
    }
    m_strOffset = szOffset;
    return true;
}

void CQueryLineMaker::AppendTime(std::string& strText, std::int64_t nSeconds, std::uint32_t nNanoseconds)
{
    if (nSeconds != m_nCachedSecond)
    {
        m_nCachedSecond = nSeconds;
        // A local offset east of UTC puts the last second a record may hold in year 10000: that
        // second is written in UTC, the same instant in a form RFC 3339 has.
        if (!WriteSecond(nSeconds, m_bUtc) && (m_bUtc || !WriteSecond(nSeconds, true)))
        {
            // No record holds such a time: rather no time than a made-up date.
            m_strSecond.clear();
            m_strOffset.clear();
        }
    }
    if (m_strSecond.empty())
    {
        strText.clear();
        return;
    }
    char szMicroseconds[7] = {'.'};
    for (std::uint32_t i = 6, nMicroseconds = nNanoseconds / 1000 % 1000000; i > 0; --i, nMicroseconds /= 10)
        szMicroseconds[i] = char('0' + nMicroseconds % 10);
    strText.assign(m_strSecond);
    strText.append(szMicroseconds, sizeof(szMicroseconds));
    strText.append(m_strOffset);
}
