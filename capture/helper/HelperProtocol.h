#pragma once

// What the capture helper and its caller agree on. Shared by both sides so neither can drift.

#include "capture/AddressText.h"

#include <cstdint>

namespace HelperProtocol {

// The caller's end of the socket pair, at this descriptor number in the helper.
constexpr int CHANNEL_FD = 3;

// The helper gives up after this long whatever it waits for; the caller waits a little longer.
constexpr unsigned TIME_LIMIT_SECONDS = 5;

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

// An address as inet_pton reads it, IPv4 or IPv6, a link-local IPv6 one with "%interface";
// nothing else (see AddressText.h).
inline bool IsAcceptedAddress(const char* pszText)
{
    CAddressText address;
    return ParseAddressText(pszText, address);
}

} // namespace HelperProtocol
