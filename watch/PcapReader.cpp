#include "watch/PcapReader.h"

#include <cstring>
#include <pcap/pcap.h>

using namespace Channel;

namespace {

constexpr unsigned ETHERTYPE_IPV4 = 0x0800;
constexpr unsigned ETHERTYPE_IPV6 = 0x86DD;
constexpr unsigned ETHERTYPE_VLAN = 0x8100;
constexpr unsigned ETHERTYPE_QINQ = 0x88A8;

unsigned Be16(const unsigned char* p)
{
    return unsigned(p[0]) << 8 | p[1];
}

bool IsIpEtherType(unsigned nType)
{
    return nType == ETHERTYPE_IPV4 || nType == ETHERTYPE_IPV6;
}

bool Skip(const unsigned char*& pFrame, size_t& nLength, size_t nHeader)
{
    if (nLength < nHeader)
        return false;
    pFrame += nHeader;
    nLength -= nHeader;
    return true;
}

} // namespace

CPcapReader::~CPcapReader()
{
    if (m_pPcap != nullptr)
        pcap_close(m_pPcap);
}

bool CPcapReader::Open(const std::string& strFile)
{
    m_strFile = strFile;
    char szError[PCAP_ERRBUF_SIZE] = {};
    m_pPcap = pcap_open_offline_with_tstamp_precision(strFile.c_str(), PCAP_TSTAMP_PRECISION_NANO, szError);
    if (m_pPcap == nullptr)
    {
        m_strError = strFile + ": " + szError;
        return false;
    }
    m_nLinkType = pcap_datalink(m_pPcap);
    switch (m_nLinkType)
    {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        return true;
    default:
    {
        const char* pszName = pcap_datalink_val_to_name(m_nLinkType);
        m_strError = strFile + ": link type " + (pszName ? pszName : "unknown") + " (" + std::to_string(m_nLinkType)
                     + ") is not read here; tarrow-watch reads Ethernet, Linux cooked capture (SLL, SLL2) and raw IP";
        pcap_close(m_pPcap);
        m_pPcap = nullptr;
        return false;
    }
    }
}

bool CPcapReader::FindNetworkHeader(const unsigned char*& pFrame, size_t& nLength) const
{
    switch (m_nLinkType)
    {
    case DLT_EN10MB:
    {
        if (nLength < 14)
            return false;
        unsigned nType = Be16(pFrame + 12);
        size_t nHeader = 14;
        while ((nType == ETHERTYPE_VLAN || nType == ETHERTYPE_QINQ) && nLength >= nHeader + 4)
        {
            nType = Be16(pFrame + nHeader + 2);
            nHeader += 4;
        }
        return IsIpEtherType(nType) && Skip(pFrame, nLength, nHeader);
    }
    case DLT_LINUX_SLL:
        return nLength >= 16 && IsIpEtherType(Be16(pFrame + 14)) && Skip(pFrame, nLength, 16);
    case DLT_LINUX_SLL2:
        return nLength >= 20 && IsIpEtherType(Be16(pFrame)) && Skip(pFrame, nLength, 20);
    default:
        // Raw IP: the version nibble tells which, and the decoder reads it itself.
        return nLength > 0;
    }
}

bool CPcapReader::Next(CNameRecord& record, std::string_view& text)
{
    if (m_pPcap == nullptr)
        return false;
    pcap_pkthdr* pHeader = nullptr;
    const unsigned char* pFrame = nullptr;
    for (;;)
    {
        const int nResult = pcap_next_ex(m_pPcap, &pHeader, &pFrame);
        if (nResult == PCAP_ERROR_BREAK)
            return false;
        if (nResult != 1)
        {
            m_strError = m_strFile + ": " + pcap_geterr(m_pPcap);
            return false;
        }
        size_t nLength = pHeader->caplen;
        CQueryFacts facts;
        if (!FindNetworkHeader(pFrame, nLength) || !ExtractQueryName(pFrame, nLength, m_szText, &facts))
            continue;
        record = CNameRecord();
        record.nSeconds = pHeader->ts.tv_sec;
        record.nNanoseconds = std::uint32_t(pHeader->ts.tv_usec);
        CopyQueryFacts(facts, &record);
        text = m_szText;
        record.nLength = std::uint16_t(text.size());
        return true;
    }
}
