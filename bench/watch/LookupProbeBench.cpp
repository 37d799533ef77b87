// What one lookup answered from the hosts file costs a program: getaddrinfo() of a name in
// /etc/hosts and freeaddrinfo(), for any family (what most programs ask) and for IPv4 alone (which
// glibc answers through gethostbyname2_r(), a second probed call inside the first).
// bench/load/run-lookups.sh runs it with and without a capture that tells lookups, for what the
// probes add to each call.
#include <benchmark/benchmark.h>

#include <netdb.h>
#include <sys/socket.h>

static void HostsFileLookup(benchmark::State& state)
{
    addrinfo hints {};
    hints.ai_family = int(state.range(0));
    hints.ai_socktype = SOCK_DGRAM;
    for (auto _ : state)
    {
        addrinfo* pResult = nullptr;
        if (getaddrinfo("localhost", nullptr, &hints, &pResult) != 0)
        {
            state.SkipWithError("localhost is not in the hosts file");
            break;
        }
        freeaddrinfo(pResult);
    }
}
BENCHMARK(HostsFileLookup)->Arg(AF_UNSPEC)->Arg(AF_INET)->MinTime(2.0);

BENCHMARK_MAIN();
