#pragma once

// What the capture helper and the session that runs it agree on. Shared by both sides so neither
// can drift. The helper writes, the session only reads: every message on the channel is a run of
// records, and nothing else ever crosses it, no descriptor in either direction.

#include "capture/AddressText.h"

#include <cstddef>
#include <cstdint>

namespace HelperProtocol {

// The session's end of the socket pair, at this descriptor number in the helper.
constexpr int CHANNEL_FD = 3;

// One user runs at most this many captures at once: each holds a kernel ring and an interface in
// promiscuous mode, which a member of the capture group must not be able to multiply at will.
constexpr int MAX_CAPTURES_PER_USER = 4;
// A capture that has just been stopped frees its place a moment later; a new one waits that long.
constexpr unsigned CAPTURE_PLACE_WAIT_MS = 3000;

// The helper says something at least this often, so a frozen helper can be told from a quiet
// interface.
constexpr unsigned HEARTBEAT_MS = 1000;
constexpr unsigned SILENCE_LIMIT_MS = 6000;

// Records are batched into messages of at most this size: one write carries hundreds of names.
constexpr size_t MAX_MESSAGE_BYTES = 32 * 1024;

enum ExitCode
{
    EXIT_ENDED = 0,       // the channel closed: the capture was stopped
    EXIT_STEP_FAILED = 1, // the open reply told which step failed
    EXIT_BAD_ARGUMENT = 2,
    EXIT_NO_CHANNEL = 3, // nothing usable at CHANNEL_FD, or it broke
    EXIT_CAPTURE_FAILED = 4,
};

// The open reply's steps beyond those of the packet socket.
constexpr std::int32_t STEP_NO_PLACE = 100; // MAX_CAPTURES_PER_USER captures already run
constexpr std::int32_t STEP_SANDBOX = 101;  // giving up the capture right failed: no capture

enum RecordType : std::uint8_t
{
    // First record of the first message, and only there: how the open went. Step 0 means the
    // capture runs; any other step, with its errno, means it ended before it read anything.
    RECORD_OPENED = 1,
    // One query name: when its frame crossed the interface (kernel time), and the name's bytes.
    RECORD_NAME = 2,
    // Queries the kernel kept for the capture, and those it had to drop, since the start.
    RECORD_COUNTS = 3,
    // The receive failed with this errno; the helper ends after it.
    RECORD_FAILED = 4,
};

// Fixed parts, packed on the wire (the two ends are one machine, so host byte order).
struct COpened
{
    std::int32_t nStep;
    std::int32_t nError;
    std::int32_t nReceiveAllError;
};
struct CNameHead
{
    std::int64_t nSeconds;
    std::uint32_t nNanoseconds;
    std::uint16_t nLength;
};
struct CCounts
{
    std::uint64_t nReceived;
    std::uint64_t nDropped;
};
struct CFailed
{
    std::int32_t nError;
};

constexpr size_t OPENED_BYTES = 1 + 3 * 4;
constexpr size_t NAME_HEAD_BYTES = 1 + 8 + 4 + 2;

// An address as inet_pton reads it, IPv4 or IPv6, a link-local IPv6 one with "%interface";
// nothing else (see AddressText.h).
inline bool IsAcceptedAddress(const char* pszText)
{
    CAddressText address;
    return ParseAddressText(pszText, address);
}

} // namespace HelperProtocol
