// Feeds arbitrary bytes to the capture helper's per-frame step and to the decoder. The decoder is held to
// the plain label-by-label reading of a wire name; the step to the kernel filter, which must keep
// every frame the step takes (run through the test's classic BPF interpreter). The name buffer is
// a heap block of exactly 1024 bytes, so AddressSanitizer catches any write past it; the input is
// libFuzzer's own exact-size copy, so any read past the received bytes is caught as well. The
// seeds hold IPv4 and IPv6 frames with UDP and TCP, so the fuzzer starts inside every layer. The
// input taken as a name must come out of the presentation form as printable ASCII that reads back
// to it.

#include "dns/DnsFilter.h"
#include "dns/DnsName.h"
#include "dns/PresentationForm.h"
#include "ClassicBpf.h"

#include <linux/if_ether.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A wire name read one label at a time, with no limit on the text; nothing when the bytes end first
// or a label is longer than DNS allows.
std::optional<std::string> ReadNameSlowly(const uint8_t* pName, size_t nAvailable)
{
    std::string strText;
    size_t nPos = 0;
    for (;;)
    {
        if (nPos >= nAvailable)
            return std::nullopt;
        const int nLabel = static_cast<int8_t>(pName[nPos++]);
        if (nLabel == 0)
            break;
        if (nLabel > 63)
            return std::nullopt;
        if (nLabel > 0)
        {
            if (size_t(nLabel) > nAvailable - nPos)
                return std::nullopt;
            strText.append(reinterpret_cast<const char*>(pName + nPos), size_t(nLabel));
            nPos += size_t(nLabel);
        }
        strText += '.';
    }
    if (!strText.empty())
        strText.pop_back();
    return strText;
}

[[noreturn]] void Fail(const char* pszWhat)
{
    std::fprintf(stderr, "DnsNameFuzz: %s\n", pszWhat);
    std::abort();
}

void Check(bool bDelivered, const std::optional<std::string>& expected, const char* pText, size_t nTextLength)
{
    if (nTextLength >= NAME_BUFFER_SIZE)
        Fail("the text's length leaves no room for its NUL in the 1024 bytes");

    const bool bShouldDeliver = expected && expected->size() < NAME_BUFFER_SIZE;
    if (bDelivered != bShouldDeliver)
        Fail(bDelivered ? "a cut-off, oversized or malformed name was delivered" : "a complete name was not delivered");
    if (bDelivered && std::string_view(pText, nTextLength) != *expected)
        Fail("the delivered text differs from the name read label by label");
}

// The bytes a presentation form stands for: \DDD is one byte, anything else itself.
std::string ReadPresentationForm(const std::string& strForm)
{
    std::string strBytes;
    for (size_t i = 0; i < strForm.size(); ++i)
    {
        if (strForm[i] != '\\')
        {
            strBytes += strForm[i];
            continue;
        }
        if (i + 3 >= strForm.size() || strForm.find_first_not_of("0123456789", i + 1) < i + 4)
            Fail("a backslash without three digits after it");
        strBytes += char(std::stoi(strForm.substr(i + 1, 3)));
        i += 3;
    }
    return strBytes;
}

// Whatever the bytes, their form is printable ASCII alone and reads back to them exactly.
void CheckPresentationForm(std::string_view name)
{
    for (const bool bFormula : {false, true})
    {
        const std::string strForm = PresentationForm(name, bFormula);
        for (const char c : strForm)
        {
            if (c < 0x20 || c > 0x7e)
                Fail("a presentation form holds a byte that is not printable ASCII");
        }
        if (bFormula && !strForm.empty() && IsFormulaStart(static_cast<unsigned char>(strForm[0])))
            Fail("a saved name starts a spreadsheet formula");
        if (ReadPresentationForm(strForm) != name)
            Fail("a presentation form does not read back to the name's bytes");
    }
}

} // namespace

constexpr unsigned SNAP_LENGTH = 1600;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static const std::vector<sock_filter> s_filter = BuildDnsFilter(SNAP_LENGTH);
    const std::unique_ptr<char[]> text(new char[NAME_BUFFER_SIZE]);

    std::memset(text.get(), 0xA5, NAME_BUFFER_SIZE);
    size_t nTextLength = 0;
    const bool bExtracted = ExtractQueryName(pData, nSize, text.get(), nTextLength);
    if (nTextLength >= NAME_BUFFER_SIZE)
        Fail("the text's length leaves no room for its NUL in the 1024 bytes");
    if (bExtracted)
    {
        const uint16_t nProtocol = (pData[0] >> 4) == 6 ? ETH_P_IPV6 : ETH_P_IP;
        const std::optional<uint32_t> kept = RunClassicBpf(s_filter, pData, nSize, nProtocol);
        if (!kept)
            Fail("the kernel would refuse the filter program");
        if (*kept != SNAP_LENGTH)
            Fail("the kernel filter drops a frame the decoder takes");
    }

    std::memset(text.get(), 0xA5, NAME_BUFFER_SIZE);
    const bool bDecoded = DecodeQuestionName(pData, nSize, text.get(), nTextLength);
    Check(bDecoded, ReadNameSlowly(pData, nSize), text.get(), nTextLength);
    // The whole input as a name too: the decoder's text never holds every byte value.
    CheckPresentationForm(std::string_view(reinterpret_cast<const char*>(pData), std::min<size_t>(nSize, 4096)));
    return 0;
}
