#include "watch/ExchangeLineMaker.h"

#include "channel/AnswerTail.h"
#include "dns/DnsTypes.h"
#include "watch/FlagWords.h"
#include "watch/FrameTime.h"

using namespace Channel;

namespace {

// The header's flags in dig's words and order.
constexpr CFlagWord FLAG_WORDS[] = {
    {RESPONSE_AUTHORITATIVE, "aa"},       {RESPONSE_TRUNCATED, "tc"},      {RESPONSE_RECURSION_DESIRED, "rd"},
    {RESPONSE_RECURSION_AVAILABLE, "ra"}, {RESPONSE_AUTHENTIC_DATA, "ad"}, {RESPONSE_CHECKING_DISABLED, "cd"},
};

} // namespace

CExchangeLineMaker::CMade CExchangeLineMaker::Make(const CExchangeTable::CQuery* pQuery,
                                                   const CResponseRecord* pResponse, std::string_view responseName,
                                                   std::string_view answers)
{
    std::string_view name = responseName;
    if (pQuery != nullptr)
        name = pQuery->Name();
    else
    {
        m_unasked = CNameRecord();
        m_unasked.facts = pResponse->facts.Mirrored();
        m_unasked.nLength = std::uint16_t(name.size());
    }
    const CNameRecord& asked = pQuery != nullptr ? pQuery->record : m_unasked;
    CExchangeLine& exchange = m_exchange;
    exchange = CExchangeLine();
    exchange.nKind = pResponse == nullptr ? CExchangeLine::UNANSWERED
                     : pQuery == nullptr  ? CExchangeLine::UNASKED
                                          : CExchangeLine::ANSWERED;
    exchange.nRetries = pQuery != nullptr ? pQuery->nRetries : 0;
    if (pResponse != nullptr)
    {
        m_strRcode = DnsRcodeName(pResponse->nRcode);
        exchange.rcode = m_strRcode;
        m_strFlags = "qr";
        AppendFlagWords(m_strFlags, pResponse->nFlags, FLAG_WORDS);
        exchange.flags = m_strFlags;
        exchange.bHasTtlMin = (pResponse->nFlags & RESPONSE_HAS_TTL) != 0;
        exchange.nTtlMin = pResponse->nTtlMin;
        exchange.nAnswersLeftOut = unsigned(pResponse->nAnswersLeftOut) + pResponse->nAnswersMissing;
        const CFrameTime askedAt = CFrameTime::Of(asked.facts), answeredAt = CFrameTime::Of(pResponse->facts);
        exchange.bHasLatency = pQuery != nullptr && answeredAt >= askedAt;
        exchange.nLatencyUs = exchange.bHasLatency ? MicrosecondsBetween(askedAt, answeredAt) : 0;
        m_answerTypes.resize(pResponse->nAnswers);
        CAnswerWalk walk(answers, pResponse->nAnswers);
        CAnswerText answer;
        for (size_t i = 0; walk.Next(answer); ++i)
        {
            m_answerTypes[i] = DnsTypeName(answer.nType);
            exchange.answers.push_back({answer.owner, m_answerTypes[i], answer.nTtl, answer.data});
        }
    }
    if (pQuery != nullptr && m_pWaiting != nullptr && m_pSenders != nullptr)
        m_pWaiting->AppendAskedFor(pQuery->record, name, *m_pSenders, exchange.askedFor);
    return {m_queries.Make(asked, name), exchange};
}
