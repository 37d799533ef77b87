#pragma once

// The wire between the capture helper and the programs that start it, and nothing else: the
// descriptor it arrives at, the limits both ends keep, the helper's exit codes, the steps of
// opening a capture, and every record that may cross it, with one table of where each may come and
// what makes it believable. The helper writes, the other end only reads: every message is a run of
// records, and nothing else ever crosses, no descriptor in either direction. No Qt, no texts.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <netinet/in.h>
#include "channel/LookupCodes.h"
#include <sys/socket.h>

namespace Channel {

// The helper's end of the socket pair is at this descriptor number in the helper.
constexpr int CHANNEL_FD = 3;

// The helper's first word comes within this time, whatever it waits for before (a place among the
// user's captures); no answer by then counts as a refusal.
constexpr unsigned REPLY_LIMIT_MS = 6100;

// The helper says something at least this often, so a frozen helper can be told from a quiet
// interface.
constexpr unsigned HEARTBEAT_MS = 1000;
constexpr unsigned SILENCE_LIMIT_MS = 6000;

// Records are batched into messages of at most this size: one write carries hundreds of names.
constexpr size_t MAX_MESSAGE_BYTES = 32 * 1024;
// No name is longer: a DNS name's text never is.
constexpr size_t MAX_NAME_BYTES = 1023;
// A frame's kernel time lies between the epoch and the last second of year 9999; anything else is
// no time a packet socket hands out, and a list that showed it would show a made-up date.
constexpr std::int64_t LAST_REAL_SECOND = 253402300799;

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
    STEP_OPTIONS = 2,    // its filter, ring, and on loopback the outgoing copies
    STEP_BIND = 3,       // the interface that owns the address
    STEP_NO_PLACE = 100, // the user runs as many captures as one may: the error field holds that number
    STEP_SANDBOX = 101,  // giving up the capture right failed: no capture
    STEP_PLACES = 102,   // the kernel's list of sockets, which the places are counted in, could not be read
};

constexpr bool IsFailureStep(std::int32_t nStep)
{
    switch (nStep)
    {
    case STEP_OPEN:
    case STEP_OPTIONS:
    case STEP_BIND:
    case STEP_NO_PLACE:
    case STEP_SANDBOX:
    case STEP_PLACES:
        return true;
    default:
        return false;
    }
}

enum RecordType : std::uint8_t
{
    RECORD_OPENED = 1,
    RECORD_NAME = 2,
    RECORD_COUNTS = 3,
    RECORD_FAILED = 4,
    RECORD_TIMED_NAME = 5,
    RECORD_RESPONSE = 6,
    RECORD_LOOKUP = 7,
    RECORD_ENCRYPTED = 8,
};

// What a front end wants of each frame, said when it starts the helper (its second argument): the
// window shows a name and a time and pays for nothing more; tarrow-watch takes whole queries, or
// queries and the responses to them, and may add the lookups programs ask of the C library and the
// connections that speak DNS encrypted.
enum Wants : std::uint8_t
{
    WANTS_NAMES = 1,     // CTimedNameRecord
    WANTS_QUERIES = 2,   // CNameRecord
    WANTS_EXCHANGES = 3, // CNameRecord and CResponseRecord
    // Added to queries or exchanges: CEncryptedRecord too.
    WANTS_ENCRYPTED = 0x40,
    // Added to queries or exchanges: CLookupRecord too.
    WANTS_LOOKUPS = 0x80,
};
// What may be added to queries or exchanges, each with the suffix of the helper's argument that
// asks for it, in the order the argument writes them.
struct CWantsAddition
{
    Wants nWants;
    std::string_view suffix;
};
inline constexpr CWantsAddition WANTS_ADDITIONS[] = {
    {WANTS_ENCRYPTED, "+encrypted"},
    {WANTS_LOOKUPS, "+lookups"},
};
constexpr Wants WantsOfFrames(Wants nWants)
{
    return Wants(nWants & ~(WANTS_LOOKUPS | WANTS_ENCRYPTED));
}
constexpr bool WantsLookups(Wants nWants)
{
    return (nWants & WANTS_LOOKUPS) != 0;
}
constexpr bool WantsEncrypted(Wants nWants)
{
    return (nWants & WANTS_ENCRYPTED) != 0;
}
// The helper's argument for each, in the order of Wants, and what the additions add to it.
inline constexpr const char* WANTS_ARGUMENTS[] = {"names", "queries", "exchanges"};
inline std::string WantsArgument(Wants nWants)
{
    std::string strArgument = WANTS_ARGUMENTS[WantsOfFrames(nWants) - WANTS_NAMES];
    for (const CWantsAddition& addition : WANTS_ADDITIONS)
    {
        if ((nWants & addition.nWants) != 0)
            strArgument += addition.suffix;
    }
    return strArgument;
}
constexpr bool ParseWants(std::string_view argument, Wants* pnWants)
{
    unsigned nAdded = 0;
    for (size_t i = std::size(WANTS_ADDITIONS); i-- > 0;)
    {
        if (argument.ends_with(WANTS_ADDITIONS[i].suffix))
        {
            argument.remove_suffix(WANTS_ADDITIONS[i].suffix.size());
            nAdded |= WANTS_ADDITIONS[i].nWants;
        }
    }
    for (size_t i = 0; i < std::size(WANTS_ARGUMENTS); ++i)
    {
        if (argument == WANTS_ARGUMENTS[i])
        {
            *pnWants = Wants((WANTS_NAMES + i) | nAdded);
            // The window's lean records carry no program, and it shows neither lookups nor
            // encrypted connections.
            return nAdded == 0 || WANTS_NAMES + i != WANTS_NAMES;
        }
    }
    return false;
}

// The helper's third argument, when tarrow-watch has one: resolvers of the user's to add to the
// built-in list of those that speak DNS over HTTPS, one a line. Bounded, as every argument is.
constexpr size_t MAX_RESOLVERS_ARGUMENT_BYTES = 64 * 1024;

// A response's answers, as the helper decoded them, travel as text in its record; more than this is
// left out and counted.
constexpr size_t MAX_ANSWER_BYTES = 4096;
constexpr size_t MAX_ANSWERS = 64;

// Who sent a query, as far as the helper may tell.
enum Sender : std::uint8_t
{
    SENDER_UNKNOWN = 0,      // no program is known (senders are not named, or the event was not seen)
    SENDER_PROGRAM = 1,      // a process of this machine, named in the record
    SENDER_ANOTHER_USER = 2, // a process of another human user, who is not named
    SENDER_ANOTHER_HOST = 3, // not sent from this machine
};

// Where a record may stand.
enum class RecordPlace : std::uint8_t
{
    OPENING, // first record of the first message, and nowhere else
    STREAM,  // anywhere after it
};

// The records exactly as they lie in a message: packed, in host byte order (both ends are one
// machine). Each states its type, where it may come, whether its fields can be real (IsValid) and
// how many bytes of its own follow it (GetTailSize). Adding a record kind means a struct here, its
// entry in RecordKinds, and the code that writes and reads it.
#pragma pack(push, 1)
// How the open went.
struct COpenedRecord
{
    static constexpr RecordType TYPE = RECORD_OPENED;
    static constexpr RecordPlace PLACE = RecordPlace::OPENING;
    std::uint8_t nType = TYPE;
    std::int32_t nStep = STEP_NONE;
    std::int32_t nError = 0;           // the failed step's errno (for STEP_NO_PLACE, the limit)
    std::int32_t nReceiveAllError = 0; // promiscuous mode refused with this errno; the capture runs
    // 0 when the helper names the program behind each local query; otherwise the errno that says
    // why it cannot (EPERM: no right to load the program that names them).
    std::int32_t nSendersError = 0;
    // Asked for lookups: 0 when they are told, otherwise the errno that says why not (ENOENT: no
    // C library found to probe). Not asked: ENOTSUP.
    std::int32_t nLookupsError = ENOTSUP;

    constexpr bool IsValid() const
    {
        return nStep == STEP_NONE ? nError == 0 && nReceiveAllError >= 0 && nSendersError >= 0 && nLookupsError >= 0
                                  : IsFailureStep(nStep) && nError > 0 && nReceiveAllError == 0;
    }
    constexpr size_t GetTailSize() const { return 0; }
};
// What the headers of a query's or a response's frame say, as both records carry it: when the frame
// crossed the interface (kernel time), the transport, the frame's own source and destination
// (addresses and ports), the DNS id, and the question's type.
struct CFrameFacts
{
    std::int64_t nSeconds = 0;
    std::uint32_t nNanoseconds = 0;
    std::uint16_t nQueryType = 0;
    std::uint8_t bHasType = 0;   // 0: no type (the frame ends before it, or a response has no question)
    std::uint8_t nProtocol = 0;  // IPPROTO_UDP or IPPROTO_TCP
    std::uint8_t nIpVersion = 0; // 4 or 6
    std::uint8_t abSource[16] = {};
    std::uint8_t abDestination[16] = {}; // network order; IPv4 in the first four bytes
    std::uint16_t nSourcePort = 0;
    std::uint16_t nDestinationPort = 0;
    std::uint16_t nDnsId = 0;

    constexpr bool IsValid() const
    {
        return nSeconds >= 0 && nSeconds <= LAST_REAL_SECOND && nNanoseconds < 1000000000u
               && (bHasType == 1 || (bHasType == 0 && nQueryType == 0))
               && (nProtocol == IPPROTO_TCP || nProtocol == IPPROTO_UDP) && (nIpVersion == 4 || nIpVersion == 6);
    }
    // The same exchange as seen from the frame's other end: a response told from its asker's side.
    constexpr CFrameFacts Mirrored() const
    {
        CFrameFacts mirrored = *this;
        for (size_t i = 0; i < sizeof(abSource); ++i)
        {
            mirrored.abSource[i] = abDestination[i];
            mirrored.abDestination[i] = abSource[i];
        }
        mirrored.nSourcePort = nDestinationPort;
        mirrored.nDestinationPort = nSourcePort;
        return mirrored;
    }
};
static_assert(sizeof(CFrameFacts) == 8 + 4 + 2 + 1 + 1 + 1 + 2 * 16 + 3 * 2);

// The process a record names: the process and thread, their user, cgroup (its id is the inode of
// its folder under /sys/fs/cgroup), network namespace (inode) and command (NUL-padded).
struct CSenderFacts
{
    std::uint32_t nPid = 0;
    std::uint32_t nTid = 0;
    std::uint32_t nUid = 0;
    std::uint64_t nCgroupId = 0;
    std::uint32_t nNetNs = 0;
    char szCommand[16] = {};

    constexpr bool IsValid() const { return szCommand[sizeof(szCommand) - 1] == '\0'; }
    // Nothing that would name a process.
    constexpr bool IsNone() const
    {
        return nPid == 0 && nTid == 0 && nUid == 0 && nCgroupId == 0 && nNetNs == 0 && szCommand[0] == '\0';
    }
};
static_assert(sizeof(CSenderFacts) == 3 * 4 + 8 + 4 + 16);

// One query: its frame's facts, who sent it, then nLength bytes of name in its presentation form.
struct CNameRecord
{
    static constexpr RecordType TYPE = RECORD_NAME;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    CFrameFacts facts;
    std::uint8_t nSender = SENDER_UNKNOWN;
    CSenderFacts sender; // SENDER_PROGRAM only
    std::uint16_t nLength = 0;

    constexpr bool IsValid() const
    {
        return facts.IsValid() && nLength <= MAX_NAME_BYTES && nSender <= SENDER_ANOTHER_HOST && sender.IsValid()
               && (nSender == SENDER_PROGRAM || IsAnonymous());
    }
    constexpr size_t GetTailSize() const { return nLength; }
    // Nothing that would name a process: all that another user's query, or another host's, carries.
    constexpr bool IsAnonymous() const { return sender.IsNone(); }
};
// Queries the kernel kept for the capture, and those it had to drop, since the start. Whether they
// can follow the last counts is for the reader to judge, which remembers them.
struct CCountsRecord
{
    static constexpr RecordType TYPE = RECORD_COUNTS;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    std::uint64_t nReceived = 0;
    std::uint64_t nDropped = 0;
    // Events of sending programs that the kernel could not keep: their queries are not named.
    std::uint64_t nEventsLost = 0;
    // Lookups the kernel could not keep (the start or the end of one): they are not told.
    std::uint64_t nLookupsLost = 0;

    constexpr bool IsValid() const { return true; }
    constexpr size_t GetTailSize() const { return 0; }
};
// The capture socket failed with this errno; the helper ends after it.
struct CFailedRecord
{
    static constexpr RecordType TYPE = RECORD_FAILED;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    std::int32_t nError = 0;

    constexpr bool IsValid() const { return nError > 0; }
    constexpr size_t GetTailSize() const { return 0; }
};
// The lean record of WANTS_NAMES: the second its frame crossed the interface, then nLength bytes of
// name.
struct CTimedNameRecord
{
    static constexpr RecordType TYPE = RECORD_TIMED_NAME;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    std::int64_t nSeconds = 0;
    std::uint16_t nLength = 0;

    constexpr bool IsValid() const
    {
        return nSeconds >= 0 && nSeconds <= LAST_REAL_SECOND && nLength <= MAX_NAME_BYTES;
    }
    constexpr size_t GetTailSize() const { return nLength; }
};
// The header's flags as a response record carries them, with what the helper found of the frame.
enum ResponseFlag : std::uint16_t
{
    RESPONSE_TRUNCATED = 1,
    RESPONSE_AUTHORITATIVE = 2,
    RESPONSE_RECURSION_AVAILABLE = 4,
    RESPONSE_RECURSION_DESIRED = 8,
    RESPONSE_HAS_TTL = 16,
    // The transport checksum is wrong: the record carries the frame's facts and nothing more.
    RESPONSE_CHECKSUM_WRONG = 32,
    // Only part of the datagram was there to check (a first fragment, or a frame cut short).
    RESPONSE_CHECKSUM_UNCHECKED = 64,
    RESPONSE_AUTHENTIC_DATA = 128,
    RESPONSE_CHECKING_DISABLED = 256,
};
// One response (WANTS_EXCHANGES): its frame's facts (the type its question's), what its header
// says, then nLength bytes of question name and nAnswersLength bytes of answers, each answer as u16
// type, u32 TTL, u16 length and owner text, u16 length and data text (host order, texts in their
// master-file form).
struct CResponseRecord
{
    static constexpr RecordType TYPE = RECORD_RESPONSE;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    CFrameFacts facts;
    std::uint16_t nRcode = 0;       // twelve bits, with an OPT record's upper eight
    std::uint16_t nFlags = 0;       // RESPONSE_* bits
    std::uint16_t anCounts[4] = {}; // as the header states: questions, answers, authority, additional
    std::uint32_t nTtlMin = 0;      // of every answer read, with RESPONSE_HAS_TTL
    std::uint16_t nAnswers = 0;     // answers carried in the tail
    // Answers read but not carried (more than the record may hold), counted but not read (the
    // message ends first, or breaks, or the capture cut it), and carried with their data in the \#
    // form for a fault in it.
    std::uint16_t nAnswersLeftOut = 0;
    std::uint16_t nAnswersMissing = 0;
    std::uint16_t nAnswersMalformed = 0;
    std::uint16_t nLength = 0;
    std::uint16_t nAnswersLength = 0;

    constexpr bool IsValid() const
    {
        return facts.IsValid() && nLength <= MAX_NAME_BYTES && nRcode < 4096 && nAnswersLength <= MAX_ANSWER_BYTES
               && nAnswers <= MAX_ANSWERS
               && ((nFlags & RESPONSE_CHECKSUM_WRONG) == 0
                   || (nFlags == RESPONSE_CHECKSUM_WRONG && nLength == 0 && nAnswers == 0 && nAnswersLength == 0));
    }
    constexpr size_t GetTailSize() const { return size_t(nLength) + nAnswersLength; }
};
constexpr size_t MAX_LOOKUP_NAME_BYTES = 255;
constexpr size_t MAX_LOOKUP_ADDRESSES = 8;
// One lookup of a program of this machine, in the captured network namespace, that the privacy
// rule lets the capturing user see: when it began (real time), who asked (as a query's sender),
// then nLength bytes of the name asked in its master-file form and nHostLength bytes of the host
// getnameinfo() found. A lookup is told twice, when it begins and when it ends; both carry the
// thread and the time it began, which tell them apart from every other.
struct CLookupRecord
{
    static constexpr RecordType TYPE = RECORD_LOOKUP;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    std::uint8_t nPhase = LOOKUP_PHASE_BEGAN;
    std::uint8_t nCall = LOOKUP_CALL_GETADDRINFO;
    std::uint8_t nFamily = AF_UNSPEC; // as asked: AF_UNSPEC, AF_INET, AF_INET6, or one the call refuses
    std::uint8_t nResultKind = LOOKUP_KIND_UNREAD;
    std::uint8_t nFlags = 0; // LOOKUP_* flags
    std::int32_t nResult = 0;
    std::int64_t nSeconds = 0;
    std::uint32_t nNanoseconds = 0;
    std::uint64_t nLatencyNs = 0; // LOOKUP_PHASE_ENDED
    CSenderFacts sender;
    std::uint8_t nAddresses = 0;
    std::uint8_t anAddressVersions[MAX_LOOKUP_ADDRESSES] = {}; // 4 or 6
    std::uint8_t aabAddresses[MAX_LOOKUP_ADDRESSES][16] = {};  // network order; IPv4 in the first four bytes
    std::uint16_t nLength = 0;
    std::uint16_t nHostLength = 0;

    constexpr bool IsValid() const
    {
        if (nSeconds < 0 || nSeconds > LAST_REAL_SECOND || nNanoseconds >= 1000000000u || nLength > MAX_NAME_BYTES
            || nHostLength > MAX_NAME_BYTES || !sender.IsValid() || nAddresses > MAX_LOOKUP_ADDRESSES
            || nCall < LOOKUP_CALL_GETADDRINFO || nCall > LOOKUP_CALL_GETNAMEINFO || nResultKind > LOOKUP_KIND_HERRNO
            || (nFlags & ~(LOOKUP_FLAG_NAME_CUT | LOOKUP_FLAG_ADDRESSES_CUT | LOOKUP_FLAG_ADDRESSES_UNREAD)) != 0)
            return false;
        for (size_t i = 0; i < nAddresses; ++i)
        {
            if (anAddressVersions[i] != 4 && anAddressVersions[i] != 6)
                return false;
        }
        if (nPhase == LOOKUP_PHASE_BEGAN)
            return nLatencyNs == 0 && nAddresses == 0 && nHostLength == 0 && nResultKind == LOOKUP_KIND_UNREAD;
        return nPhase == LOOKUP_PHASE_ENDED;
    }
    constexpr size_t GetTailSize() const { return size_t(nLength) + nHostLength; }
};
// How a connection speaks DNS encrypted, as the helper told it.
enum EncryptedProtocol : std::uint8_t
{
    ENCRYPTED_TLS = 1,   // DNS over TLS: a TLS connection to port 853
    ENCRYPTED_HTTPS = 2, // DNS over HTTPS: a TLS connection to port 443 of a known resolver
    ENCRYPTED_QUIC = 3,  // DNS over QUIC: QUIC to port 853, or to port 443 of a known resolver's address
};
enum EncryptedFlag : std::uint8_t
{
    ENCRYPTED_ECH = 1,        // the hello offered ECH: its server name is only the outer one
    ENCRYPTED_CUT = 2,        // the hello ends past the captured segment: what followed is not read
    ENCRYPTED_BY_ADDRESS = 4, // told by the server's address, not its name
};
constexpr size_t MAX_ALPN_BYTES = 1023;
// One connection that speaks DNS encrypted, once, from its first segment (a TLS ClientHello) or its
// first QUIC packet: its frame's facts (no DNS id, no type), how it speaks, who opened it (as a
// query's sender), then nLength bytes of the server name the hello sent (in its master-file form)
// and nAlpnLength bytes of its ALPN protocols (each in the same form, apart at commas).
struct CEncryptedRecord
{
    static constexpr RecordType TYPE = RECORD_ENCRYPTED;
    static constexpr RecordPlace PLACE = RecordPlace::STREAM;
    std::uint8_t nType = TYPE;
    CFrameFacts facts;
    std::uint8_t nProtocol = ENCRYPTED_TLS;
    std::uint8_t nFlags = 0; // ENCRYPTED_* flags
    std::uint8_t nSender = SENDER_UNKNOWN;
    CSenderFacts sender; // SENDER_PROGRAM only
    std::uint16_t nLength = 0;
    std::uint16_t nAlpnLength = 0;

    constexpr bool IsValid() const
    {
        return facts.IsValid() && facts.bHasType == 0 && facts.nDnsId == 0 && nProtocol >= ENCRYPTED_TLS
               && nProtocol <= ENCRYPTED_QUIC
               && (nFlags & ~(ENCRYPTED_ECH | ENCRYPTED_CUT | ENCRYPTED_BY_ADDRESS)) == 0
               // QUIC's hello is encrypted: only the address tells it.
               && (facts.nProtocol == IPPROTO_TCP
                   || (nLength == 0 && nAlpnLength == 0 && (nFlags & ~ENCRYPTED_BY_ADDRESS) == 0))
               && nLength <= MAX_NAME_BYTES && nAlpnLength <= MAX_ALPN_BYTES && nSender <= SENDER_ANOTHER_HOST
               && sender.IsValid() && (nSender == SENDER_PROGRAM || sender.IsNone());
    }
    constexpr size_t GetTailSize() const { return size_t(nLength) + nAlpnLength; }
};
// Each answer in a response record's tail starts with this much: type, TTL, the owner's length.
constexpr size_t ANSWER_HEAD_BYTES = 2 + 4 + 2;
// And between owner and data, the data's length.
constexpr size_t ANSWER_DATA_LENGTH_BYTES = 2;
#pragma pack(pop)
static_assert(sizeof(COpenedRecord) == 1 + 5 * 4);
static_assert(sizeof(CNameRecord) == 1 + sizeof(CFrameFacts) + 1 + 3 * 4 + 8 + 4 + 16 + 2);
static_assert(sizeof(CCountsRecord) == 1 + 4 * 8);
static_assert(sizeof(CFailedRecord) == 1 + 4);
static_assert(sizeof(CTimedNameRecord) == 1 + 8 + 2);

// The table the reader walks every message against.
template <class... TRecords>
struct CRecordKinds
{};
using RecordKinds = CRecordKinds<COpenedRecord, CNameRecord, CCountsRecord, CFailedRecord, CTimedNameRecord,
                                 CResponseRecord, CLookupRecord, CEncryptedRecord>;

} // namespace Channel
