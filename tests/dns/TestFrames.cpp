#include "TestFrames.h"

#include "dns/DnsLayout.h"

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>

namespace {

void PutUint16(CBytes& bytes, size_t nOffset, size_t nValue)
{
    bytes.at(nOffset) = static_cast<unsigned char>(nValue >> 8);
    bytes.at(nOffset + 1) = static_cast<unsigned char>(nValue);
}

// As the sending host's stack fills it: the pseudo-header, then the segment with the field at 0.
void FillChecksum(CBytes& frame, size_t nSegment, unsigned char nProtocol, const CBytes& pseudoAddresses)
{
    const size_t nField = nSegment + (nProtocol == 6 ? 16 : 6);
    if (nProtocol != 6 && nProtocol != 17)
        return;
    PutUint16(frame, nField, 0);
    const size_t nLength = frame.size() - nSegment;
    std::uint64_t nSum = nProtocol + (nLength >> 16) + (nLength & 0xFFFF);
    const auto Add = [&nSum](const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; i += 2)
            nSum += (unsigned(p[i]) << 8) | (i + 1 < n ? p[i + 1] : 0);
    };
    Add(pseudoAddresses.data(), pseudoAddresses.size());
    Add(frame.data() + nSegment, nLength);
    while (nSum >> 16)
        nSum = (nSum & 0xFFFF) + (nSum >> 16);
    const auto nChecksum = static_cast<std::uint16_t>(~nSum);
    PutUint16(frame, nField, nChecksum == 0 && nProtocol == 17 ? 0xFFFF : nChecksum);
}

} // namespace

CBytes operator+(CBytes a, const CBytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

CBytes DnsMessage(const CBytes& question)
{
    return CBytes {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00} + question;
}

CBytes WithLengthPrefix(const CBytes& message)
{
    CBytes prefix(2);
    PutUint16(prefix, 0, message.size());
    return prefix + message;
}

CBytes UdpSegment(uint16_t nSourcePort, uint16_t nDestPort, const CBytes& payload)
{
    CBytes header(8);
    PutUint16(header, 0, nSourcePort);
    PutUint16(header, 2, nDestPort);
    PutUint16(header, 4, 8 + payload.size());
    return header + payload;
}

CBytes TcpSegment(uint16_t nSourcePort, uint16_t nDestPort, const CBytes& payload, unsigned nHeaderWords)
{
    CBytes header(std::max(nHeaderWords, 5u) * 4, 0x01);
    std::fill(header.begin(), header.begin() + 20, 0);
    PutUint16(header, 0, nSourcePort);
    PutUint16(header, 2, nDestPort);
    header[12] = static_cast<unsigned char>(nHeaderWords << 4);
    header[13] = payload.empty() ? 0x10 : 0x18; // ACK, or PSH and ACK
    PutUint16(header, 14, 64240);
    return header + payload;
}

CBytes Ipv4Frame(unsigned char nProtocol, const CBytes& segment, unsigned nHeaderWords, uint16_t nFragmentField)
{
    CBytes header(std::max(nHeaderWords, 5u) * 4, 0x01);
    std::fill(header.begin(), header.begin() + 20, 0);
    header[0] = static_cast<unsigned char>(0x40 | (nHeaderWords & 0x0F));
    PutUint16(header, 2, header.size() + segment.size());
    PutUint16(header, 6, nFragmentField);
    header[8] = 64;
    header[9] = nProtocol;
    header[12] = 10;
    header[15] = 2;
    header[16] = 10;
    header[19] = 1;
    CBytes frame = header + segment;
    // Only a whole datagram has a checksum to fill.
    if (nFragmentField == 0 && segment.size() >= (nProtocol == 6 ? 20u : 8u))
        FillChecksum(frame, header.size(), nProtocol, CBytes(header.begin() + 12, header.begin() + 20));
    return frame;
}

CBytes Ipv6Frame(const std::vector<CExtension>& chain, unsigned char nProtocol, const CBytes& segment)
{
    CBytes frame(40, 0);
    frame[0] = 0x60;
    frame[6] = chain.empty() ? nProtocol : chain.front().nType;
    frame[7] = 64;
    frame[8] = 0xFD;
    frame[23] = 2;
    frame[24] = 0xFD;
    frame[39] = 1;
    for (size_t i = 0; i < chain.size(); ++i)
    {
        const CExtension& extension = chain[i];
        const bool bFragment = extension.nType == 44;
        CBytes header(bFragment ? 8 : (size_t(extension.nUnits) + 1) * 8, 0);
        header[0] = i + 1 < chain.size() ? chain[i + 1].nType : nProtocol;
        header[1] = extension.nUnits;
        if (bFragment)
            PutUint16(header, 2, extension.nFragmentField);
        else
            header[2] = 0x01; // PadN over the rest
        if (!bFragment)
            header[3] = static_cast<unsigned char>(header.size() - 4);
        frame = frame + header;
    }
    const size_t nSegment = frame.size();
    frame = frame + segment;
    PutUint16(frame, 4, frame.size() - 40);
    const bool bFragmented = std::any_of(chain.begin(), chain.end(), [](const CExtension& extension) {
        return extension.nType == 44 && extension.nFragmentField != 0;
    });
    if (!bFragmented && segment.size() >= (nProtocol == 6 ? 20u : 8u))
        FillChecksum(frame, nSegment, nProtocol, CBytes(frame.begin() + 8, frame.begin() + 40));
    return frame;
}

std::vector<CBytes> ReadCaptureFrames(const std::string& strFile)
{
    const std::string strPath = strFile.starts_with("/") ? strFile : std::string(TARROW_CAPTURES_DIR) + "/" + strFile;
    std::vector<CBytes> frames;
    char szError[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pCapture = pcap_open_offline(strPath.c_str(), szError);
    if (pCapture == nullptr || pcap_datalink(pCapture) != DLT_EN10MB)
    {
        ADD_FAILURE() << strFile << ": not an Ethernet capture " << szError;
        if (pCapture != nullptr)
            pcap_close(pCapture);
        return frames;
    }
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pFrame = nullptr;
    int nResult = 0;
    while ((nResult = pcap_next_ex(pCapture, &pHeader, &pFrame)) == 1)
    {
        const bool bIp = pHeader->caplen >= 14
                         && ((pFrame[12] == 0x08 && pFrame[13] == 0x00) || (pFrame[12] == 0x86 && pFrame[13] == 0xDD));
        if (bIp)
            frames.emplace_back(pFrame + 14, pFrame + pHeader->caplen);
    }
    if (nResult != PCAP_ERROR_BREAK)
        ADD_FAILURE() << strFile << ": " << pcap_geterr(pCapture);
    pcap_close(pCapture);
    return frames;
}

static void PutBig(CBytes& bytes, std::uint32_t nValue, size_t nBytes)
{
    for (size_t i = nBytes; i > 0; --i)
        bytes.push_back(static_cast<unsigned char>(nValue >> (8 * (i - 1))));
}

// The bytes after a length of nLengthBytes that counts them.
CBytes TlsVector(size_t nLengthBytes, const CBytes& inside)
{
    CBytes bytes;
    PutBig(bytes, std::uint32_t(inside.size()), nLengthBytes);
    bytes.insert(bytes.end(), inside.begin(), inside.end());
    return bytes;
}

static CBytes Text(const std::string& strText)
{
    return CBytes(strText.begin(), strText.end());
}

CBytes TlsExtension(std::uint16_t nType, const CBytes& data)
{
    CBytes bytes;
    PutBig(bytes, nType, 2);
    const CBytes inside = TlsVector(2, data);
    bytes.insert(bytes.end(), inside.begin(), inside.end());
    return bytes;
}

CBytes TlsServerName(const std::string& strName)
{
    CBytes entry {0};
    const CBytes name = TlsVector(2, Text(strName));
    entry.insert(entry.end(), name.begin(), name.end());
    return TlsExtension(0, TlsVector(2, entry));
}

CBytes TlsAlpn(const std::vector<std::string>& protocols)
{
    CBytes list;
    for (const std::string& strProtocol : protocols)
    {
        const CBytes protocol = TlsVector(1, Text(strProtocol));
        list.insert(list.end(), protocol.begin(), protocol.end());
    }
    return TlsExtension(16, TlsVector(2, list));
}

// A whole TLS record holding a ClientHello with these extensions, as a client's first segment.
CBytes TlsClientHello(const std::vector<CBytes>& extensions)
{
    CBytes body {3, 3};
    body.resize(body.size() + 32, 0x5a);              // random
    body.push_back(0);                                // no session id
    const CBytes suites = TlsVector(2, {0x13, 0x01}); // one cipher suite
    body.insert(body.end(), suites.begin(), suites.end());
    body.insert(body.end(), {1, 0}); // compression: null
    CBytes all;
    for (const CBytes& extension : extensions)
        all.insert(all.end(), extension.begin(), extension.end());
    const CBytes list = TlsVector(2, all);
    body.insert(body.end(), list.begin(), list.end());
    CBytes handshake {TLS_HANDSHAKE_CLIENT_HELLO};
    const CBytes inside = TlsVector(3, body);
    handshake.insert(handshake.end(), inside.begin(), inside.end());
    CBytes record {TLS_RECORD_HANDSHAKE, 3, 1};
    const CBytes payload = TlsVector(2, handshake);
    record.insert(record.end(), payload.begin(), payload.end());
    return record;
}
