// Feeds arbitrary bytes to the worker's per-datagram step and to the decoder, and holds both to the
// plain label-by-label reading of a wire name. The name buffer is a heap block of exactly 1024 bytes,
// so AddressSanitizer catches any write past it; the input is libFuzzer's own exact-size copy, so
// any read past the received bytes is caught as well.

#include "capture/DnsName.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

// A wire name read one label at a time, with no limit on the text; nothing when the bytes end first.
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

void Check(bool bDelivered, const std::optional<std::string>& expected, const char* pText)
{
    if (std::memchr(pText, '\0', NAME_BUFFER_SIZE) == nullptr)
        Fail("the name buffer is not NUL-terminated within its 1024 bytes");

    const bool bShouldDeliver = expected && expected->size() < NAME_BUFFER_SIZE;
    if (bDelivered != bShouldDeliver)
        Fail(bDelivered ? "a cut-off or oversized name was delivered" : "a complete name was not delivered");
    if (bDelivered && (std::memcmp(pText, expected->data(), expected->size()) != 0 || pText[expected->size()] != '\0'))
        Fail("the delivered text differs from the name read label by label");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::unique_ptr<char[]> text(new char[NAME_BUFFER_SIZE]);

    std::memset(text.get(), 0xA5, NAME_BUFFER_SIZE);
    const bool bDnsByPort = nSize >= 24 && pData[22] == 0 && pData[23] == 53;
    if (IsDnsDatagram(pData, nSize) != bDnsByPort)
        Fail("the port test disagrees with bytes 22-23");
    const bool bExtracted = ExtractQueryName(pData, nSize, text.get());
    const std::optional<std::string> extractExpected =
        bDnsByPort && nSize > DNS_NAME_OFFSET ? ReadNameSlowly(pData + DNS_NAME_OFFSET, nSize - DNS_NAME_OFFSET) : std::nullopt;
    Check(bExtracted, extractExpected, text.get());

    std::memset(text.get(), 0xA5, NAME_BUFFER_SIZE);
    const bool bDecoded = DecodeQuestionName(pData, nSize, text.get());
    Check(bDecoded, ReadNameSlowly(pData, nSize), text.get());
    return 0;
}
