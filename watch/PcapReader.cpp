#include "watch/PcapReader.h"

#include "dns/PacketBytes.h"

#include <cstring>
#include <pcap/pcap.h>

using namespace Channel;

namespace {

constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr std::uint16_t ETHERTYPE_IPV6 = 0x86DD;
constexpr std::uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr std::uint16_t ETHERTYPE_QINQ = 0x88A8;

// Link headers: each names the protocol it carries at a fixed place.
constexpr size_t ETHERNET_HEADER_SIZE = 14;
constexpr size_t ETHERNET_TYPE_OFFSET = 12;
// A VLAN tag stands where the type was, and the type follows its 2-byte tag control field.
constexpr size_t VLAN_TAG_SIZE = 4;
constexpr size_t VLAN_TAG_CONTROL_SIZE = 2;
constexpr size_t SLL_HEADER_SIZE = 16;
constexpr size_t SLL_PROTOCOL_OFFSET = 14;
constexpr size_t SLL2_HEADER_SIZE = 20;
constexpr size_t SLL2_PROTOCOL_OFFSET = 0;

bool IsIpEtherType(std::uint16_t nType)
{
    return nType == ETHERTYPE_IPV4 || nType == ETHERTYPE_IPV6;
}

// A whole link header that says IP follows it.
bool IsIpBehind(const CPacketBytes& bytes, size_t nHeaderSize, size_t nTypeOffset)
{
    std::uint16_t nType = 0;
    return bytes.GetLength() >= nHeaderSize && bytes.GetUint16(nTypeOffset, nType) && IsIpEtherType(nType);
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

bool CPcapReader::FindNetworkHeader(const unsigned char* pFrame, size_t nLength, size_t& nHeader) const
{
    const CPacketBytes bytes(pFrame, nLength);
    switch (m_nLinkType)
    {
    case DLT_EN10MB:
    {
        std::uint16_t nType = 0;
        nHeader = ETHERNET_HEADER_SIZE;
        if (!bytes.GetUint16(ETHERNET_TYPE_OFFSET, nType))
            return false;
        while (nType == ETHERTYPE_VLAN || nType == ETHERTYPE_QINQ)
        {
            if (!bytes.GetUint16(nHeader + VLAN_TAG_CONTROL_SIZE, nType))
                return false;
            nHeader += VLAN_TAG_SIZE;
        }
        return IsIpEtherType(nType) && nHeader <= nLength;
    }
    case DLT_LINUX_SLL:
        nHeader = SLL_HEADER_SIZE;
        return IsIpBehind(bytes, SLL_HEADER_SIZE, SLL_PROTOCOL_OFFSET);
    case DLT_LINUX_SLL2:
        nHeader = SLL2_HEADER_SIZE;
        return IsIpBehind(bytes, SLL2_HEADER_SIZE, SLL2_PROTOCOL_OFFSET);
    default:
        // Raw IP: the version nibble tells which, and the decoder reads it itself.
        nHeader = 0;
        return nLength > 0;
    }
}

bool CPcapReader::Next(CChannelReader::CSink& sink, bool bResponses)
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
        size_t nHeader = 0;
        if (!FindNetworkHeader(pFrame, pHeader->caplen, nHeader))
            continue;
        switch (m_records.Make(pFrame + nHeader, pHeader->caplen - nHeader, pHeader->ts.tv_sec,
                               std::uint32_t(pHeader->ts.tv_usec), bResponses ? WANTS_EXCHANGES : WANTS_QUERIES,
                               EChecksumHint::FILE_FRAME))
        {
        case CFrameRecords::QUERY:
            sink.OnQuery(m_records.GetQuery(), m_records.GetName());
            return true;
        case CFrameRecords::RESPONSE:
            sink.OnResponse(m_records.GetResponse(), m_records.GetResponseName(), m_records.GetAnswers());
            return true;
        case CFrameRecords::ENCRYPTED:
        {
            CEncryptedRecordMaker& encrypted = m_records.GetEncrypted();
            sink.OnEncrypted(encrypted.GetRecord(), encrypted.GetName(),
                             encrypted.GetTail().substr(encrypted.GetName().size()));
            return true;
        }
        case CFrameRecords::NONE:
            break;
        }
    }
}
