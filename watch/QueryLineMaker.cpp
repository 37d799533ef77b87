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
    AppendTime(line.strTime, record.nSeconds, record.nNanoseconds);
    line.name = text;
    line.strType = DnsTypeName(record.nQueryType);
    line.pszTransport = record.nProtocol == PROTOCOL_TCP ? "tcp" : "udp";
    SetAddress(line.strSource, m_source, record.nIpVersion, record.abSource);
    SetAddress(line.strDestination, m_destination, record.nIpVersion, record.abDestination);
    line.nSourcePort = record.nSourcePort;
    line.nDestinationPort = record.nDestinationPort;
    line.nDnsId = record.nDnsId;
    line.nSender = Sender(record.nSender);
    const bool bProgram = record.nSender == SENDER_PROGRAM;
    line.nPid = bProgram ? record.nPid : 0;
    line.program = bProgram ? std::string_view(record.szCommand) : std::string_view();
    line.user = bProgram && m_pSenders ? std::string_view(m_pSenders->UserName(record.nUid)) : std::string_view();
    line.unit = bProgram && m_pSenders && record.nCgroupId != 0 ? std::string_view(m_pSenders->UnitOf(record.nCgroupId))
                                                                : std::string_view();
    line.nNetNs = bProgram ? record.nNetNs : 0;
    return line;
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

void CQueryLineMaker::AppendTime(std::string& strText, std::int64_t nSeconds, std::uint32_t nNanoseconds)
{
    if (nSeconds != m_nCachedSecond)
    {
        const auto tSeconds = static_cast<std::time_t>(nSeconds);
        std::tm parts {};
        if (m_bUtc ? gmtime_r(&tSeconds, &parts) == nullptr : localtime_r(&tSeconds, &parts) == nullptr)
            parts = std::tm {};
        char szSecond[96];
        std::snprintf(szSecond, sizeof(szSecond), "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        m_strSecond = szSecond;
        // One assignment for both: GCC 12 at -O3 warns falsely of an overlapping copy when a
        // literal is assigned here.
        char szOffset[48] = "Z";
        if (!m_bUtc)
        {
            const long nOffset = parts.tm_gmtoff;
            const long nMinutes = (nOffset < 0 ? -nOffset : nOffset) / 60;
            std::snprintf(szOffset, sizeof(szOffset), "%c%02ld:%02ld", nOffset < 0 ? '-' : '+', nMinutes / 60,
                          nMinutes % 60);
        }
        m_strOffset = szOffset;
        m_nCachedSecond = nSeconds;
    }
    char szMicroseconds[7] = {'.'};
    for (std::uint32_t i = 6, nMicroseconds = nNanoseconds / 1000 % 1000000; i > 0; --i, nMicroseconds /= 10)
        szMicroseconds[i] = char('0' + nMicroseconds % 10);
    strText.assign(m_strSecond);
    strText.append(szMicroseconds, sizeof(szMicroseconds));
    strText.append(m_strOffset);
}
