#pragma once

// What the capture helper and its caller agree on. Shared by both sides so neither can drift.

#include <cstdint>
#include <cstring>

namespace HelperProtocol {

// The caller's end of the socket pair, at this descriptor number in the helper.
constexpr int CHANNEL_FD = 3;

// The helper gives up after this long whatever it waits for; the caller waits a little longer.
constexpr unsigned TIME_LIMIT_SECONDS = 5;

// Longest accepted address text: "255.255.255.255".
constexpr size_t MAX_ADDRESS_LENGTH = 15;

enum ExitCode
{
    EXIT_OPENED = 0,      // the socket was sent
    EXIT_STEP_FAILED = 1, // the failing step and its errno were sent
    EXIT_BAD_ARGUMENT = 2,
    EXIT_NO_CHANNEL = 3,  // nothing usable at CHANNEL_FD, or the reply could not be sent
};

// The only message: sent once, with the socket attached when nStep is 0 (CPacketSocket::STEP_NONE).
struct CReply
{
    std::int32_t nStep = 0;
    std::int32_t nError = 0;
    std::int32_t nReceiveAllError = 0;
};

// Four decimal numbers of at most 255 with no leading zeros, joined by single dots, nothing else.
inline bool IsAcceptedAddress(const char* pszText)
{
    if (pszText == nullptr)
        return false;
    const size_t nLength = strnlen(pszText, MAX_ADDRESS_LENGTH + 1);
    if (nLength == 0 || nLength > MAX_ADDRESS_LENGTH)
        return false;

    int nParts = 0;
    const char* p = pszText;
    for (;;)
    {
        if (*p < '0' || *p > '9')
            return false;
        unsigned nValue = 0;
        int nDigits = 0;
        const char* pStart = p;
        while (*p >= '0' && *p <= '9')
        {
            nValue = nValue * 10 + unsigned(*p - '0');
            ++p;
            if (++nDigits > 3)
                return false;
        }
        if (nValue > 255 || (nDigits > 1 && *pStart == '0'))
            return false;
        ++nParts;
        if (*p == '\0')
            return nParts == 4;
        if (*p != '.' || nParts == 4)
            return false;
        ++p;
    }
}

} // namespace HelperProtocol
