#include "frames/EncryptedRecords.h"

#include "dns/PresentationForm.h"
#include "dns/TlsClientHello.h"

#include <algorithm>
#include <cstring>

using namespace Channel;

namespace {

// A QUIC packet with the long header (the first bit) and the fixed bit (the second) opens a
// connection or continues its handshake: Initial, 0-RTT, Handshake or Retry. The short-header
// packets that carry the connection's data afterwards are never read.
constexpr unsigned char QUIC_LONG_HEADER = 0xC0;

std::uint64_t Fnv1a(const unsigned char* p, size_t n)
{
    std::uint64_t nHash = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i)
        nHash = (nHash ^ p[i]) * 1099511628211ull;
    return nHash;
}

} // namespace

std::uint8_t CEncryptedRecordMaker::Classify(bool bTcp, const CClientHello* pHello, std::uint8_t* pnFlags) const
{
    const bool bDnsPort = m_facts.nDestinationPort == DNS_OVER_TLS_PORT;
    if (bDnsPort)
        return bTcp ? ENCRYPTED_TLS : ENCRYPTED_QUIC;
    if (bTcp && !pHello->serverName.empty())
    {
        std::string strName;
        AppendDottedName(strName, pHello->serverName.substr(0, MAX_SERVER_NAME));
        if (m_resolvers.HasName(strName))
            return ENCRYPTED_HTTPS;
    }
    if (!m_resolvers.HasAddress(m_facts.nIpVersion, m_facts.abDestination))
        return 0;
    *pnFlags |= ENCRYPTED_BY_ADDRESS;
    return bTcp ? ENCRYPTED_HTTPS : ENCRYPTED_QUIC;
}

bool CEncryptedRecordMaker::SeenBefore(std::uint32_t nSequence, std::int64_t nSeconds)
{
    CFlow::Key abKey {};
    unsigned char* p = abKey.data();
    *p++ = m_facts.nIpVersion;
    *p++ = m_facts.nProtocol;
    std::memcpy(p, m_facts.abSource, 16);
    std::memcpy(p + 16, m_facts.abDestination, 16);
    p += 32;
    std::memcpy(p, &m_facts.nSourcePort, 2);
    std::memcpy(p + 2, &m_facts.nDestinationPort, 2);
    std::memcpy(p + 4, &nSequence, 4);
    static_assert(2 + 32 + 4 + 4 == sizeof(abKey));
    CFlow& flow = m_flows[Fnv1a(abKey.data(), abKey.size()) & (FLOWS - 1)];
    const bool bSeen = flow.abKey == abKey && flow.nSeconds >= 0 && nSeconds >= flow.nSeconds
                       && nSeconds - flow.nSeconds <= FLOW_LIFE_S;
    flow.abKey = abKey;
    flow.nSeconds = nSeconds;
    return bSeen;
}

void CEncryptedRecordMaker::AppendAlpn(const CClientHello& hello)
{
    std::string strEntry;
    for (size_t i = 0; i < hello.nAlpn; ++i)
    {
        strEntry.clear();
        // Commas part the entries, so a comma of the wire is escaped like a space.
        AppendMasterFileEscaped(
            strEntry, hello.alpn[i], [](unsigned char b) { return b <= 0x20 || b >= 0x7f; },
            [](unsigned char b) { return b == ',' || b == '\\' || b == '"'; });
        const size_t nAdded = strEntry.size() + (m_record.nAlpnLength != 0 ? 1 : 0);
        if (m_record.nAlpnLength + nAdded > MAX_ALPN_BYTES)
        {
            m_record.nFlags |= ENCRYPTED_CUT;
            return;
        }
        if (m_record.nAlpnLength != 0)
            m_strTail += ',';
        m_strTail += strEntry;
        m_record.nAlpnLength = std::uint16_t(m_record.nAlpnLength + nAdded);
    }
}

bool CEncryptedRecordMaker::Make(const unsigned char* pFrame, size_t nLength, std::int64_t nSeconds,
                                 std::uint32_t nNanoseconds)
{
    size_t nPayload = 0, nPayloadLength = 0;
    std::uint32_t nSequence = 0;
    if (!FindEncryptedStart(pFrame, nLength, m_facts, nPayload, nPayloadLength, &nSequence))
        return false;
    const bool bTcp = m_facts.nProtocol == PROTOCOL_TCP;
    CClientHello hello;
    if (bTcp ? !CClientHello::Read(pFrame + nPayload, nPayloadLength, hello)
             : (pFrame[nPayload] & QUIC_LONG_HEADER) != QUIC_LONG_HEADER)
        return false;
    std::uint8_t nFlags = 0;
    const std::uint8_t nProtocol = Classify(bTcp, &hello, &nFlags);
    if (nProtocol == 0 || SeenBefore(nSequence, nSeconds))
        return false;

    m_record = CEncryptedRecord();
    m_record.facts.nSeconds = nSeconds;
    m_record.facts.nNanoseconds = nNanoseconds;
    CopyQueryFacts(m_facts, &m_record.facts);
    m_record.nProtocol = nProtocol;
    m_record.nFlags =
        nFlags | (hello.bEch ? ENCRYPTED_ECH : 0)
        | (hello.bCut || hello.bAlpnLeftOut || hello.serverName.size() > MAX_SERVER_NAME ? ENCRYPTED_CUT : 0);
    m_strTail.clear();
    if (!hello.serverName.empty())
        AppendDottedName(m_strTail, hello.serverName.substr(0, MAX_SERVER_NAME));
    m_record.nLength = std::uint16_t(m_strTail.size());
    AppendAlpn(hello);
    return m_record.IsValid();
}
