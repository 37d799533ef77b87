#pragma once

#include "channel/Channel.h"
#include "dns/DnsName.h"
#include "dns/TlsClientHello.h"
#include "frames/DohResolvers.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// From the first segment of a TLS connection, or a QUIC packet that opens a connection, to the
// record of a connection that speaks DNS encrypted, once a connection:
// - TLS to port 853 is DNS over TLS;
// - TLS to port 443 is DNS over HTTPS when the hello's server name, or else the server's address,
//   is a known resolver's;
// - QUIC (a long-header packet) to port 853 is DNS over QUIC, and to port 443 when the address is a
//   known resolver's: its hello is encrypted, and no name is read.
// Every other connection gives nothing, and nothing of it is kept but that its tuple was seen: its
// server name never leaves this class. No system calls.
class CEncryptedRecordMaker
{
public:
    // A connection is told once: its hello sent again, and the other packets of a QUIC handshake,
    // come within this time. A TCP connection is known by its tuple and the hello's sequence
    // number, so a new one on the same ports is told again; a QUIC one by its tuple.
    static constexpr std::int64_t FLOW_LIFE_S = 10;
    // Connections remembered at once; a flood of new ones makes older ones forget, and a hello sent
    // again after that is told again, never one left untold.
    static constexpr size_t FLOWS = 4096;
    // A server name longer than any host name is cut here, and the record marked cut.
    static constexpr size_t MAX_SERVER_NAME = 255;

    explicit CEncryptedRecordMaker(const CDohResolvers& resolvers) : m_resolvers(resolvers) {}

    // False for a frame that is no connection's start of encrypted DNS, or a connection already
    // told; otherwise the record and its tail stand until the next call, without a sender.
    bool Make(const unsigned char* pFrame, size_t nLength, std::int64_t nSeconds, std::uint32_t nNanoseconds);

    Channel::CEncryptedRecord& GetRecord() { return m_record; }
    const CQueryFacts& GetFacts() const { return m_facts; }
    std::string_view GetName() const { return std::string_view(m_strTail).substr(0, m_record.nLength); }
    std::string_view GetTail() const { return m_strTail; }

private:
    struct CFlow
    {
        // The versions, addresses, ports and sequence number, as SeenBefore lays them out.
        using Key = std::array<unsigned char, 42>;
        Key abKey {};
        std::int64_t nSeconds = -1; // when last seen; -1: never used
    };

    // How the connection speaks, or 0 for none that this class tells.
    std::uint8_t Classify(bool bTcp, const CClientHello* pHello, std::uint8_t* pnFlags) const;
    // Whether the connection was told within FLOW_LIFE_S; remembers it from now on either way.
    bool SeenBefore(std::uint32_t nSequence, std::int64_t nSeconds);
    void AppendAlpn(const CClientHello& hello);

    const CDohResolvers& m_resolvers;
    Channel::CEncryptedRecord m_record;
    CQueryFacts m_facts;
    std::string m_strTail;
    std::array<CFlow, FLOWS> m_flows {};
};
