#pragma once

#include "capture/ChannelReader.h"
#include "channel/Channel.h"
#include "frames/FrameRecords.h"
#include "dns/DnsName.h"

#include <string>
#include <string_view>

struct pcap;

// The queries of a pcap or pcapng file, and with them the responses, read through libpcap and
// decoded by the capture helper's own steps, so a file gives what a live capture of the same frames
// would. Each comes to the sink as the record the helper would have sent (no sender: a file does not
// say who sent it). Link
// types: Ethernet (with VLAN tags), Linux cooked capture v1 and v2, and raw IP.
class CPcapReader
{
public:
    CPcapReader() = default;
    ~CPcapReader();
    CPcapReader(const CPcapReader&) = delete;
    CPcapReader& operator=(const CPcapReader&) = delete;

    // False, with the reason in the error text, for a file libpcap cannot open or a link type not
    // read here.
    bool Open(const std::string& strFile);
    // Hands the next query (or with bResponses the next query or response) to the sink; false at
    // the end of the file, or with the error text set when the file is cut or broken there. Frames
    // that hold neither, or whose time no capture could give, are passed over.
    bool Next(CChannelReader::CSink& sink, bool bResponses);
    // From now on, connections that speak DNS encrypted go to the sink too, told by these
    // resolvers (which must outlive this).
    void TellEncrypted(const CDohResolvers& resolvers) { m_records.TellEncrypted(resolvers); }
    const std::string& GetErrorText() const { return m_strError; }

private:
    // Where the network header starts in a frame of the file's link type; false when the frame
    // carries no IP.
    bool FindNetworkHeader(const unsigned char* pFrame, size_t nLength, size_t& nHeader) const;

    pcap* m_pPcap = nullptr;
    int m_nLinkType = 0;
    std::string m_strFile;
    std::string m_strError;
    CFrameRecords m_records;
};
