// Cost of reading one response into answer text, as the capture helper will for every response
// it sees when a front end asks for whole exchanges: a typical A response with 1 answer, and a
// CNAME with 3 addresses behind it (4 answers), names compressed as resolvers send them.

#include "dns/DnsResponse.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void Append(Bytes& bytes, std::initializer_list<unsigned> values)
{
    for (const unsigned n : values)
        bytes.push_back(static_cast<unsigned char>(n));
}

// www.example.com A, then one CNAME to cdn.example.com (when bChain) and nAddresses A records.
Bytes Response(bool bChain, unsigned nAddresses)
{
    Bytes message;
    Append(message, {0x12, 0x34, 0x81, 0x80, 0, 1, 0, bChain + nAddresses, 0, 0, 0, 0});
    Append(message, {3, 'w', 'w', 'w', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, 0, 1, 0, 1});
    unsigned nOwner = 12;
    if (bChain)
    {
        Append(message, {0xC0, 12, 0, 5, 0, 1, 0, 0, 0x0E, 0x10, 0, 6, 3, 'c', 'd', 'n', 0xC0, 16});
        nOwner = unsigned(message.size()) - 6;
    }
    for (unsigned i = 0; i < nAddresses; ++i)
        Append(message, {0xC0, nOwner, 0, 1, 0, 1, 0, 0, 0x01, 0x2C, 0, 4, 192, 0, 2, i + 1});
    return message;
}

void Decode(benchmark::State& state, const Bytes& message)
{
    char text[2048];
    CAnswerRecord records[32];
    CDnsResponse response;
    for (auto _ : state)
    {
        DecodeDnsResponse(message.data(), message.size(), text, records, response);
        benchmark::DoNotOptimize(response);
        benchmark::ClobberMemory();
    }
    if (response.nRecords != response.nAnswerCount)
        state.SkipWithError("not every answer was read");
}

void BM_ResponseOneAnswer(benchmark::State& state)
{
    Decode(state, Response(false, 1));
}
BENCHMARK(BM_ResponseOneAnswer);

void BM_ResponseFourAnswers(benchmark::State& state)
{
    Decode(state, Response(true, 3));
}
BENCHMARK(BM_ResponseFourAnswers);

} // namespace

BENCHMARK_MAIN();
