#pragma once

// pcapng files written by hand, since libpcap writes only pcap: one section, an interface of each
// link type and timestamp resolution (10^-N seconds), and each frame on its interface.

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace TestPcapng {

struct CFrame
{
    std::uint32_t nInterface;
    std::uint64_t nTime; // in its interface's units
    std::vector<unsigned char> data;
};

inline void Write(const std::string& strPath, const std::vector<std::pair<std::uint16_t, std::uint8_t>>& interfaces,
                  const std::vector<CFrame>& frames)
{
    using CBytes = std::vector<unsigned char>;
    CBytes file;
    const auto Put32 = [](CBytes& out, std::uint32_t n) {
        out.insert(out.end(), reinterpret_cast<unsigned char*>(&n), reinterpret_cast<unsigned char*>(&n) + 4);
    };
    const auto Block = [&](std::uint32_t nType, CBytes body) {
        body.resize((body.size() + 3) & ~size_t(3));
        Put32(file, nType);
        Put32(file, std::uint32_t(body.size() + 12));
        file.insert(file.end(), body.begin(), body.end());
        Put32(file, std::uint32_t(body.size() + 12));
    };
    CBytes header;
    Put32(header, 0x1A2B3C4D);
    Put32(header, 1); // version 1.0
    Put32(header, 0xFFFFFFFF);
    Put32(header, 0xFFFFFFFF); // section length unknown
    Block(0x0A0D0D0A, header);
    for (const auto& [nLinkType, nResolution] : interfaces)
    {
        CBytes description;
        Put32(description, nLinkType);
        Put32(description, 65535);
        Put32(description, 9 | 1u << 16); // if_tsresol, one byte
        Put32(description, nResolution);
        Put32(description, 0); // end of options
        Block(1, description);
    }
    for (const CFrame& frame : frames)
    {
        CBytes packet;
        Put32(packet, frame.nInterface);
        Put32(packet, std::uint32_t(frame.nTime >> 32));
        Put32(packet, std::uint32_t(frame.nTime));
        Put32(packet, std::uint32_t(frame.data.size()));
        Put32(packet, std::uint32_t(frame.data.size()));
        packet.insert(packet.end(), frame.data.begin(), frame.data.end());
        Block(6, packet);
    }
    std::ofstream(strPath, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
}

} // namespace TestPcapng
