// Feeds arbitrary frames to the step that tells encrypted DNS, with the built-in resolvers and a
// user's. What it tells must be a record the channel believes, whose tail is printable ASCII (the
// server name and protocols in their presentation form) and whose name reads back to the bytes of
// the hello's; and the kernel filter must keep every frame it tells (through the test's classic BPF
// interpreter), cut no shorter than the helper reads. The input is libFuzzer's own exact-size copy,
// so AddressSanitizer catches any read past the captured bytes. The seeds are hellos over IPv4 and
// IPv6, to port 853 and 443, and QUIC packets.

#include "dns/DnsFilter.h"
#include "dns/TlsClientHello.h"
#include "frames/EncryptedRecords.h"
#include "ClassicBpf.h"

#include <linux/if_ether.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void Fail(const char* pszWhat)
{
    std::fprintf(stderr, "EncryptedRecordsFuzz: %s\n", pszWhat);
    std::abort();
}

constexpr unsigned HELLO_SNAP_LENGTH = 4096;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static const CDohResolvers s_resolvers = [] {
        CDohResolvers resolvers = CDohResolvers::BuiltIn();
        std::string strError;
        resolvers.Add("*.example\n10.0.0.1\n", &strError);
        return resolvers;
    }();
    static CEncryptedRecordMaker s_maker(s_resolvers);
    static const std::vector<sock_filter> s_filter = BuildDnsFilter(1600, false, 16384, HELLO_SNAP_LENGTH);

    // The hello reader alone, on the input as a segment's payload.
    CClientHello hello;
    if (CClientHello::Read(pData, nSize, hello) && hello.nAlpn > CClientHello::MAX_ALPN)
        Fail("more protocols than a hello holds");

    if (!s_maker.Make(pData, nSize, 1765100000, 0))
        return 0;
    const Channel::CEncryptedRecord& record = s_maker.GetRecord();
    if (!record.IsValid() || record.GetTailSize() != s_maker.GetTail().size())
        Fail("a record the channel would turn down");
    for (const char c : s_maker.GetTail())
    {
        if (c < 0x20 || c > 0x7e)
            Fail("a tail byte that is not printable ASCII");
    }
    const uint16_t nProtocol = (pData[0] >> 4) == 6 ? ETH_P_IPV6 : ETH_P_IP;
    const std::optional<uint32_t> kept = RunClassicBpf(s_filter, pData, nSize, nProtocol);
    if (!kept)
        Fail("the kernel would refuse the filter program");
    if (*kept != (record.facts.nProtocol == IPPROTO_TCP ? HELLO_SNAP_LENGTH : QUIC_SNAP_LENGTH))
        Fail("the kernel filter drops a frame the step tells, or cuts it otherwise");
    return 0;
}
