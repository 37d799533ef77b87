#pragma once

// A response record's answers walked again by the front end, which believes nothing of the tail it
// did not check.

#include "channel/Channel.h"

#include <cstdint>
#include <string_view>

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
