#pragma once

// The response record's two sides: made from a frame (by the capture helper, and by tarrow-watch
// for a capture file), and its answers walked again by the front end, which believes nothing of the
// tail it did not check.

#include "channel/Channel.h"
#include "dns/DnsResponse.h"
#include "dns/TransportChecksum.h"

#include <cstdint>
#include <string_view>

class CResponseRecordMaker
{
public:
    // False for a frame that carries no response. Otherwise the record and its tail stand until the
    // next call. A response whose transport checksum is wrong gives only its frame's facts and
    // RESPONSE_CHECKSUM_WRONG; one that cannot be checked is marked RESPONSE_CHECKSUM_UNCHECKED.
    bool Make(const unsigned char* pFrame, size_t nLength, std::int64_t nSeconds, std::uint32_t nNanoseconds,
              EChecksumHint hint);
    const Channel::CResponseRecord& GetRecord() const { return m_record; }
    std::string_view GetTail() const { return {m_tail, m_nTail}; }

private:
    // The decoder's text leaves room in the tail for each answer's head and lengths.
    static constexpr size_t TEXT_BYTES =
        Channel::MAX_ANSWER_BYTES
        - Channel::MAX_ANSWERS * (Channel::ANSWER_HEAD_BYTES + Channel::ANSWER_DATA_LENGTH_BYTES);

    Channel::CResponseRecord m_record;
    CDnsResponse m_response;
    CAnswerRecord m_answers[Channel::MAX_ANSWERS];
    char m_text[TEXT_BYTES];
    char m_tail[Channel::MAX_NAME_BYTES + Channel::MAX_ANSWER_BYTES];
    size_t m_nTail = 0;
};

// One answer of a response record's tail.
struct CAnswerText
{
    std::uint16_t nType = 0;
    std::uint32_t nTtl = 0;
    std::string_view owner;
    std::string_view data;
};

// Walks the answers of a record's tail in order. False, at any time, for a tail that is not
// exactly nAnswers answers: the helper that sent it is broken.
class CAnswerWalk
{
public:
    CAnswerWalk(std::string_view answers, unsigned nAnswers) : m_rest(answers), m_nLeft(nAnswers) {}
    // True with the next answer; false at the end, or at a fault (IsSound then says which).
    bool Next(CAnswerText& answer);
    bool IsSound() const { return m_bSound; }

private:
    std::string_view m_rest;
    unsigned m_nLeft;
    bool m_bSound = true;
};

// True when the tail holds exactly the answers the record says.
bool IsSoundAnswerTail(const Channel::CResponseRecord& record, std::string_view answers);
