// Writes a capture file of distinct DNS queries for the burst runs (bench/load/run-burst.sh), to be
// replayed at top speed with tcpreplay, and for the file readers (bench/load/run-read.sh): Ethernet,
// IPv4, UDP from port 40000 + i % 20000 to port 53, one question "bNNNNNNN.burst.example" each,
// a microsecond apart. With "exchanges" each query is followed a microsecond later by its response:
// addresses and ports swapped, same id and question, one A answer.
//   MakeBurstPcap FILE COUNT SRC_MAC DST_MAC SRC_IP DST_IP [exchanges]

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ParseMac(const char* pszText, unsigned char* pMac)
{
    unsigned b[6];
    if (std::sscanf(pszText, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        pMac[i] = static_cast<unsigned char>(b[i]);
    return true;
}

void Put16(std::vector<unsigned char>& v, size_t nAt, unsigned nValue)
{
    v[nAt] = static_cast<unsigned char>(nValue >> 8);
    v[nAt + 1] = static_cast<unsigned char>(nValue);
}

unsigned Checksum(const unsigned char* p, size_t n)
{
    unsigned long nSum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        nSum += (unsigned(p[i]) << 8) | p[i + 1];
    while (nSum >> 16)
        nSum = (nSum & 0xFFFF) + (nSum >> 16);
    return ~nSum & 0xFFFF;
}

// One Ethernet frame of a query (bResponse false) or of its response, from the query's point of view:
// a response goes the other way.
std::vector<unsigned char> MakeFrame(long i, bool bResponse, bool bOneKey, const unsigned char* pSrcMac,
                                     const unsigned char* pDstMac, const in_addr& src, const in_addr& dst)
{
    char szName[24];
    std::snprintf(szName, sizeof(szName), "b%07ld", i);
    std::vector<unsigned char> f(14 + 20 + 8);
    // Room for the whole frame up front: GCC 12 at -O3 misreads the growth of a smaller vector as
    // an overflow.
    f.reserve(256);
    std::memcpy(&f[0], bResponse ? pSrcMac : pDstMac, 6);
    std::memcpy(&f[6], bResponse ? pDstMac : pSrcMac, 6);
    Put16(f, 12, 0x0800);
    const unsigned nId = bOneKey ? 0 : unsigned(i) & 0xFFFF;
    const unsigned char dns[] = {static_cast<unsigned char>(nId >> 8),
                                 static_cast<unsigned char>(nId),
                                 static_cast<unsigned char>(bResponse ? 0x81 : 0x01),
                                 static_cast<unsigned char>(bResponse ? 0x80 : 0x00),
                                 0x00,
                                 0x01,
                                 0x00,
                                 static_cast<unsigned char>(bResponse ? 1 : 0),
                                 0x00,
                                 0x00,
                                 0x00,
                                 0x00};
    f.insert(f.end(), dns, dns + sizeof(dns));
    f.push_back(8);
    f.insert(f.end(), szName, szName + 8);
    const char szRest[] = "\005burst\007example";
    f.insert(f.end(), szRest, szRest + sizeof(szRest)); // with its NUL: the root label
    f.insert(f.end(), {0x00, 0x01, 0x00, 0x01});
    if (bResponse)
    {
        // The question's name by pointer, A, IN, a TTL of 300 and an address from the documentation range.
        f.insert(f.end(), {0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x04, 192, 0, 2,
                           static_cast<unsigned char>(i % 254 + 1)});
    }
    const size_t nIp = f.size() - 14;
    f[14] = 0x45;
    Put16(f, 16, unsigned(nIp));
    f[22] = 64;
    f[23] = 17;
    std::memcpy(&f[26], bResponse ? &dst : &src, 4);
    std::memcpy(&f[30], bResponse ? &src : &dst, 4);
    Put16(f, 24, Checksum(&f[14], 20));
    const unsigned nClientPort = bOneKey ? 40000 : 40000 + unsigned(i % 20000);
    Put16(f, 34, bResponse ? 53 : nClientPort);
    Put16(f, 36, bResponse ? nClientPort : 53);
    Put16(f, 38, unsigned(nIp - 20));
    return f;
}

void WriteRecord(FILE* pFile, long nMicroseconds, const std::vector<unsigned char>& f)
{
    const std::uint32_t record[] = {std::uint32_t(nMicroseconds / 1000000), std::uint32_t(nMicroseconds % 1000000),
                                    std::uint32_t(f.size()), std::uint32_t(f.size())};
    std::fwrite(record, 1, 16, pFile);
    std::fwrite(f.data(), 1, f.size(), pFile);
}

} // namespace

int main(int argc, char** argv)
{
    unsigned char srcMac[6], dstMac[6];
    in_addr src {}, dst {};
    const bool bExchanges = argc == 8 && std::strcmp(argv[7], "exchanges") == 0;
    // Every query from one port with one id, each with its own name: one key of the join's table.
    const bool bOneKey = argc == 8 && std::strcmp(argv[7], "one-key") == 0;
    if ((argc != 7 && !bExchanges && !bOneKey) || !ParseMac(argv[3], srcMac) || !ParseMac(argv[4], dstMac)
        || inet_pton(AF_INET, argv[5], &src) != 1 || inet_pton(AF_INET, argv[6], &dst) != 1)
    {
        std::fprintf(stderr, "usage: %s FILE COUNT SRC_MAC DST_MAC SRC_IP DST_IP [exchanges|one-key]\n", argv[0]);
        return 2;
    }
    FILE* pFile = std::fopen(argv[1], "wb");
    if (pFile == nullptr)
        return 1;
    const std::uint32_t header[] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    std::fwrite(header, 1, 24, pFile);
    const long nCount = std::atol(argv[2]);
    long nMicroseconds = 0;
    for (long i = 0; i < nCount; ++i)
    {
        WriteRecord(pFile, nMicroseconds++, MakeFrame(i, false, bOneKey, srcMac, dstMac, src, dst));
        if (bExchanges)
            WriteRecord(pFile, nMicroseconds++, MakeFrame(i, true, false, srcMac, dstMac, src, dst));
    }
    return std::fclose(pFile) == 0 ? 0 : 1;
}
