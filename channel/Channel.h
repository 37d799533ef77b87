#pragma once

// What the capture helper and the window agree on, in one place so neither side can drift: the
// kinds of message on the channel between them and the layout of each, the steps of opening a
// capture with the text each failure shows, and the limits both keep. The helper writes, the window
// only reads: every message is a run of records, and nothing else ever crosses the channel, no
// descriptor in either direction.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Channel {

// The window's end of the socket pair, at this descriptor number in the helper.
constexpr int CHANNEL_FD = 3;

// One user runs at most this many captures at once: each holds a kernel ring and an interface in
// promiscuous mode, which a member of the capture group must not be able to multiply at will.
constexpr int MAX_CAPTURES_PER_USER = 4;
// A capture that has just been stopped frees its place a moment later; a new one waits that long,
// which the window spends waiting for the helper's word: short enough for nobody to notice.
constexpr unsigned CAPTURE_PLACE_WAIT_MS = 100;

// The helper says something at least this often, so a frozen helper can be told from a quiet
// interface.
constexpr unsigned HEARTBEAT_MS = 1000;
constexpr unsigned SILENCE_LIMIT_MS = 6000;

// A frame's kernel time lies between the epoch and the last second of year 9999; anything else is
// no time a packet socket hands out, and a list that showed it would show a made-up date.
constexpr std::int64_t LAST_REAL_SECOND = 253402300799;

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

// The steps of opening a capture, in the order the helper takes them. The open reply names the
// step that failed, with its errno, or STEP_NONE when the capture runs.
enum OpenStep : std::int32_t
{
    STEP_NONE = 0,
    STEP_OPEN = 1,       // the packet socket
    STEP_OPTIONS = 2,    // its filter, receive queue, ring, and on loopback the outgoing copies
    STEP_BIND = 3,       // the interface that owns the address
    STEP_NO_PLACE = 100, // MAX_CAPTURES_PER_USER captures already run
    STEP_SANDBOX = 101,  // giving up the capture right failed: no capture
    STEP_PLACES = 102,   // the kernel's list of sockets, which the places are counted in, could not be read
};

// What the user is shown when a step failed: a printf format that takes the step's errno, or the
// limit that was reached. Adding a step means an entry here and nothing else on either side.
struct CStepText
{
    OpenStep nStep;
    const char* pszFormat;
    bool bTakesLimit = false;
};
inline constexpr CStepText STEP_TEXTS[] = {
    {STEP_OPEN, "socket() failed, errno=%d"},
    {STEP_OPTIONS, "SetSockOpt Failed error num = %d"},
    {STEP_BIND, "bind() failed, error no %d"},
    {STEP_NO_PLACE, "Tarrow already runs %d captures for this user. Stop one and try again.", true},
    {STEP_SANDBOX, "The capture helper could not give up its rights, error no %d"},
    {STEP_PLACES, "Tarrow could not count this user's running captures, error no %d"},
};

// Promiscuous mode refused: the capture runs anyway, and only the error text keeps this.
inline constexpr char RECEIVE_ALL_FAILED_FORMAT[] = "Ioctl() failed, error no %d\n";
// The capture socket failed (its interface went down or away); the helper ends after saying so.
inline constexpr char RECEIVE_FAILED_FORMAT[] = "recvfrom() failed, error num %d";

// Whether a reply may name this step as failed.
bool IsFailureStep(std::int32_t nStep);
// The text of a failed step, or of the refusal to open when the step is unknown.
std::string OpenFailureText(std::int32_t nStep, std::int32_t nError);
// A printf format with one %d, filled in.
std::string FormatText(const char* pszFormat, int nValue);

enum RecordType : std::uint8_t
{
    RECORD_OPENED = 1,
    RECORD_NAME = 2,
    RECORD_COUNTS = 3,
    RECORD_FAILED = 4,
};

// The records exactly as they lie in a message: packed, in host byte order (both ends are one
// machine). The writer copies them in and the reader copies them out whole, so their layout is
// stated here and nowhere else.
#pragma pack(push, 1)
// First record of the first message, and only there: how the open went.
struct COpenedRecord
{
    static constexpr RecordType TYPE = RECORD_OPENED;
    std::uint8_t nType = TYPE;
    std::int32_t nStep = STEP_NONE;
    std::int32_t nError = 0;           // the failed step's errno
    std::int32_t nReceiveAllError = 0; // promiscuous mode refused with this errno; the capture runs
};
// One query name: when its frame crossed the interface (kernel time), then nLength bytes of name.
struct CNameRecord
{
    static constexpr RecordType TYPE = RECORD_NAME;
    std::uint8_t nType = TYPE;
    std::int64_t nSeconds = 0;
    std::uint32_t nNanoseconds = 0;
    std::uint16_t nLength = 0;
};
// Queries the kernel kept for the capture, and those it had to drop, since the start.
struct CCountsRecord
{
    static constexpr RecordType TYPE = RECORD_COUNTS;
    std::uint8_t nType = TYPE;
    std::uint64_t nReceived = 0;
    std::uint64_t nDropped = 0;
};
// The capture socket failed with this errno; the helper ends after it.
struct CFailedRecord
{
    static constexpr RecordType TYPE = RECORD_FAILED;
    std::uint8_t nType = TYPE;
    std::int32_t nError = 0;
};
#pragma pack(pop)
static_assert(sizeof(COpenedRecord) == 1 + 3 * 4);
static_assert(sizeof(CNameRecord) == 1 + 8 + 4 + 2);
static_assert(sizeof(CCountsRecord) == 1 + 2 * 8);
static_assert(sizeof(CFailedRecord) == 1 + 4);

} // namespace Channel
