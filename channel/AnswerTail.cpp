#include "channel/AnswerTail.h"

#include <cstring>

using namespace Channel;

namespace {

template <class TValue>
bool TakeValue(std::string_view& rest, TValue& value)
{
    if (rest.size() < sizeof(value))
        return false;
    std::memcpy(&value, rest.data(), sizeof(value));
    rest.remove_prefix(sizeof(value));
    return true;
}

bool TakeText(std::string_view& rest, std::string_view& text)
{
    std::uint16_t nLength = 0;
    if (!TakeValue(rest, nLength) || rest.size() < nLength)
        return false;
    text = rest.substr(0, nLength);
    rest.remove_prefix(nLength);
    return true;
}

} // namespace

bool CAnswerWalk::Next(CAnswerText& answer)
{
    if (m_nLeft == 0)
    {
        m_bSound = m_bSound && m_rest.empty();
        return false;
    }
    --m_nLeft;
    if (!TakeValue(m_rest, answer.nType) || !TakeValue(m_rest, answer.nTtl) || !TakeText(m_rest, answer.owner)
        || !TakeText(m_rest, answer.data))
    {
        m_bSound = false;
        m_nLeft = 0;
        return false;
    }
    return true;
}

bool IsSoundAnswerTail(const CResponseRecord& record, std::string_view answers)
{
    CAnswerWalk walk(answers, record.nAnswers);
    CAnswerText answer;
    while (walk.Next(answer))
    {}
    return walk.IsSound();
}
