#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Reading a DNS response for whoever shows the whole exchange: its header, its question, and its
// answer records as text. The bytes come from any host on the network, so nothing here trusts a
// count, a length or a pointer in them: every read is checked against the message, the text never
// grows past what the caller gave it, and no input makes the work unbounded. Nothing is allocated,
// so the sandboxed capture helper can call it on every response it sees.
//
// The text of each answer is its owner name and its data, both in their master-file form as dig
// writes them (dns/PresentationForm.h): names absolute (every label ends with '.', the root is
// "."), the data of every type the type table gives a form (dns/DnsTypes.cpp: A, AAAA, the names,
// MX, TXT, SRV, SOA, NAPTR, CAA, SSHFP, TLSA, DS, DNSKEY, RRSIG, NSEC, NSEC3, LOC, SVCB and HTTPS
// among them) in that form, and any other type's as RFC 3597's \# with the length and the bytes in
// hex. Hex and base64 are broken into words of 56 characters, as dig does. The text is printable
// ASCII alone.
//
// What bad input gives:
// - fewer than 12 bytes: false, HEADER_CUT, and nothing else is filled in.
// - a name that runs past the message (NAME_CUT), a label length of 64 or more, the reserved label
//   types included (LABEL_TOO_LONG), a name over 255 bytes or 128 pointers (NAME_TOO_LONG: where any
//   loop through backward pointers ends), a compression pointer to itself or later in the message
//   (POINTER_FORWARD) or past its end (POINTER_OUTSIDE). Pointers are only ever followed backwards,
//   so each is read at most once per hop and the walk always ends.
// - In the question, or the owner or fixed fields of an answer (RECORD_CUT when the type, class,
//   TTL, length or data run past the message; MESSAGE_ENDED when the message ends just where the
//   header says another question or answer begins): the reading stops there, that problem is
//   eProblem, and every answer the header counts but that was not read is in nMissing.
// - In the data of an answer whose framing is sound (data shorter or longer than its type needs, a
//   bad name inside it, SVCB parameters out of order or of a wrong size): the record is kept, its
//   data written in the generic \# form, eDataProblem says why (DATA_MALFORMED, or the name's own
//   problem), and nMalformed counts it. Reading goes on with the next record.
// - Answers that do not fit the caller's text or record array are not written and are counted in
//   nLeftOut. Once one is left out no later one is written either, so the text is always the first
//   nRecords answers in message order; the rest are still read, for the counts and ttlMin.
// The authority and additional sections are only stepped over, for the OPT record's part of the
// response code; the header's counts for them are given as they stand.

enum class EDnsProblem : unsigned char
{
    NONE,
    HEADER_CUT,
    MESSAGE_ENDED,
    RECORD_CUT,
    NAME_CUT,
    LABEL_TOO_LONG,
    NAME_TOO_LONG,
    POINTER_FORWARD,
    POINTER_OUTSIDE,
    DATA_MALFORMED,
};

// The name of a problem as logs and tests write it, e.g. "pointer forward".
const char* DnsProblemText(EDnsProblem eProblem);

constexpr size_t MAX_WIRE_NAME_LENGTH = 255;
// A name's text in its master-file form never takes more: 255 wire bytes, each at most \DDD.
constexpr size_t MAX_NAME_TEXT_LENGTH = 1023;

struct CAnswerRecord
{
    std::uint16_t nType = 0;
    std::uint16_t nClass = 0;
    std::uint32_t nTtl = 0;
    std::string_view strOwner; // both in the caller's text
    std::string_view strData;
    EDnsProblem eDataProblem = EDnsProblem::NONE; // not NONE: strData is in the \# form
};

struct CDnsResponse
{
    std::uint16_t nId = 0;
    bool bResponse = false; // QR
    std::uint8_t nOpcode = 0;
    bool bAuthoritative = false;
    bool bTruncated = false;
    bool bRecursionDesired = false;
    bool bRecursionAvailable = false;
    bool bAuthenticData = false;
    bool bCheckingDisabled = false;
    // The header's four bits, and with an OPT record (bHasOpt) its eight above them.
    std::uint16_t nRcode = 0;
    bool bHasOpt = false;
    std::uint16_t nQuestionCount = 0;
    std::uint16_t nAnswerCount = 0;
    std::uint16_t nAuthorityCount = 0;
    std::uint16_t nAdditionalCount = 0;

    // The first question (any others are stepped over). Its name is in the form the question
    // decoder gives a query's name (labels in their master-file form joined by '.', the root as
    // "."), so that the list's rule compares the two.
    bool bHasQuestion = false;
    char szQuestionName[MAX_NAME_TEXT_LENGTH + 1] = {};
    size_t nQuestionNameLength = 0;
    std::uint16_t nQuestionType = 0;
    std::uint16_t nQuestionClass = 0;

    size_t nRecords = 0;                      // answers written, in the caller's array
    size_t nTextLength = 0;                   // of the caller's text they take
    std::optional<std::uint32_t> ttlMin;      // the smallest TTL of all answers read, written or not
    size_t nLeftOut = 0;                      // answers read but not written: the text or the array was full
    size_t nMissing = 0;                      // answers the header counts that could not be read
    size_t nMalformed = 0;                    // answers read whose data is in the \# form for a problem
    EDnsProblem eProblem = EDnsProblem::NONE; // what ended the reading early

    std::string_view QuestionName() const { return {szQuestionName, nQuestionNameLength}; }
};

// Reads the DNS message of nLength bytes at pMessage (from its header on) into response, writing
// answer text into text and answers into records, never past either. True when the question and
// every answer the header counts were read; false otherwise, with eProblem and the counts saying
// what was lost (the response holds whatever could be read).
bool DecodeDnsResponse(const unsigned char* pMessage, size_t nLength, std::span<char> text,
                       std::span<CAnswerRecord> records, CDnsResponse& response);
