// Cost of the capture helper's per-datagram step, set beside a plain copy of the same bytes: the step runs
// for every datagram the interface carries, so it should cost about as little as touching them once.
// Aim: a typical query, over IPv4 or IPv6, UDP or TCP, at most 4 times the copy.

#include "dns/DnsName.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void PutUint16(Bytes& bytes, size_t nOffset, size_t nValue)
{
    bytes[nOffset] = static_cast<unsigned char>(nValue >> 8);
    bytes[nOffset + 1] = static_cast<unsigned char>(nValue);
}

// The DNS message of a query (one question), as a stub resolver sends it.
Bytes DnsMessage(const Bytes& question)
{
    // Made whole at once: GCC 12 takes a growing copy of a short header for an overflow.
    Bytes message(12 + question.size(), 0);
    const unsigned char header[12] = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), message.begin());
    std::copy(question.begin(), question.end(), message.begin() + 12);
    return message;
}

// A UDP (17) or TCP (6) segment from port 40000; TCP with the timestamp option as Linux sends it
// and the message's length prefix.
Bytes Segment(unsigned char nProtocol, unsigned nDestPort, const Bytes& message)
{
    const bool bTcp = nProtocol == 6;
    const size_t nHeader = bTcp ? 32 + 2 : 8;
    Bytes segment(nHeader + message.size(), 0);
    PutUint16(segment, 0, 40000);
    PutUint16(segment, 2, nDestPort);
    if (bTcp)
    {
        segment[12] = 0x80;
        segment[13] = 0x18;
        segment[20] = 1;
        segment[21] = 1;
        segment[22] = 8;
        segment[23] = 10;
        PutUint16(segment, 32, message.size());
    }
    else
    {
        PutUint16(segment, 4, 8 + message.size());
    }
    std::copy(message.begin(), message.end(), segment.begin() + long(nHeader));
    return segment;
}

Bytes Ipv4(unsigned char nProtocol, const Bytes& segment)
{
    Bytes d(20 + segment.size(), 0);
    d[0] = 0x45;
    PutUint16(d, 2, 20 + segment.size());
    d[6] = 0x40;
    d[8] = 64;
    d[9] = nProtocol;
    std::copy(segment.begin(), segment.end(), d.begin() + 20);
    return d;
}

Bytes Ipv6(unsigned char nProtocol, const Bytes& segment)
{
    Bytes d(40 + segment.size(), 0);
    d[0] = 0x60;
    PutUint16(d, 4, segment.size());
    d[6] = nProtocol;
    d[7] = 64;
    std::copy(segment.begin(), segment.end(), d.begin() + 40);
    return d;
}

// www.example.com, type A, class IN.
const Bytes& TypicalQuestion()
{
    static const Bytes question = {3,   'w', 'w', 'w', 7,   'e', 'x', 'a', 'm', 'p', 'l',
                                   'e', 3,   'c', 'o', 'm', 0,   0,   1,   0,   1};
    return question;
}

// 61 bytes in all.
const Bytes& TypicalQuery()
{
    static const Bytes query = Ipv4(17, Segment(17, 53, DnsMessage(TypicalQuestion())));
    return query;
}

// 81 bytes.
const Bytes& TypicalIpv6Query()
{
    static const Bytes query = Ipv6(17, Segment(17, 53, DnsMessage(TypicalQuestion())));
    return query;
}

// 87 bytes.
const Bytes& TypicalTcpQuery()
{
    static const Bytes query = Ipv4(6, Segment(6, 53, DnsMessage(TypicalQuestion())));
    return query;
}

const Bytes& NonDnsDatagram()
{
    static const Bytes other = Ipv4(17, Segment(17, 443, Bytes(33, 0x17)));
    return other;
}

const Bytes& LongestName()
{
    // Sixteen labels of 63 bytes: 1023 characters, the most the name buffer takes.
    static const Bytes query = [] {
        Bytes name;
        for (int i = 0; i < 16; ++i)
        {
            name.push_back(63);
            name.insert(name.end(), 63, static_cast<unsigned char>('a' + i));
        }
        name.push_back(0);
        return Ipv4(17, Segment(17, 53, DnsMessage(name)));
    }();
    return query;
}

void RunExtract(benchmark::State& state, const Bytes& datagram)
{
    char text[NAME_BUFFER_SIZE];
    size_t nTextLength = 0;
    const unsigned char* pDatagram = datagram.data();
    size_t nLength = datagram.size();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(pDatagram);
        benchmark::DoNotOptimize(nLength);
        bool bName = ExtractQueryName(pDatagram, nLength, text, nTextLength);
        benchmark::DoNotOptimize(bName);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(datagram.size()));
}

// The length is hidden from the compiler as the received length would be, so this is a real memcpy call.
void RunCopy(benchmark::State& state, const Bytes& datagram)
{
    unsigned char copy[1600];
    const unsigned char* pDatagram = datagram.data();
    size_t nLength = datagram.size();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(pDatagram);
        benchmark::DoNotOptimize(nLength);
        std::memcpy(copy, pDatagram, nLength);
        benchmark::DoNotOptimize(copy);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(datagram.size()));
}

void BM_ExtractNonDns(benchmark::State& state)
{
    RunExtract(state, NonDnsDatagram());
}
void BM_CopyNonDns(benchmark::State& state)
{
    RunCopy(state, NonDnsDatagram());
}
void BM_ExtractTypicalQuery(benchmark::State& state)
{
    RunExtract(state, TypicalQuery());
}
void BM_CopyTypicalQuery(benchmark::State& state)
{
    RunCopy(state, TypicalQuery());
}
void BM_ExtractTypicalIpv6Query(benchmark::State& state)
{
    RunExtract(state, TypicalIpv6Query());
}
void BM_CopyTypicalIpv6Query(benchmark::State& state)
{
    RunCopy(state, TypicalIpv6Query());
}
void BM_ExtractTypicalTcpQuery(benchmark::State& state)
{
    RunExtract(state, TypicalTcpQuery());
}
void BM_CopyTypicalTcpQuery(benchmark::State& state)
{
    RunCopy(state, TypicalTcpQuery());
}
void BM_ExtractLongestName(benchmark::State& state)
{
    RunExtract(state, LongestName());
}
void BM_CopyLongestName(benchmark::State& state)
{
    RunCopy(state, LongestName());
}

} // namespace

BENCHMARK(BM_ExtractNonDns);
BENCHMARK(BM_CopyNonDns);
BENCHMARK(BM_ExtractTypicalQuery);
BENCHMARK(BM_CopyTypicalQuery);
BENCHMARK(BM_ExtractTypicalIpv6Query);
BENCHMARK(BM_CopyTypicalIpv6Query);
BENCHMARK(BM_ExtractTypicalTcpQuery);
BENCHMARK(BM_CopyTypicalTcpQuery);
BENCHMARK(BM_ExtractLongestName);
BENCHMARK(BM_CopyLongestName);

BENCHMARK_MAIN();
