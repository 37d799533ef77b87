#include "watch/OutputFields.h"

#include <iterator>

namespace {

COutputValue Unknown()
{
    return {};
}
COutputValue Number(std::uint64_t nValue, bool bKnown = true)
{
    return bKnown ? COutputValue {COutputValue::NUMBER, {}, nValue} : Unknown();
}
COutputValue Text(std::string_view text, COutputValue::Kind nKind = COutputValue::WORD)
{
    return text.empty() ? Unknown() : COutputValue {nKind, text, 0};
}

std::string_view KindOf(const CExchangeLine* pExchange)
{
    if (pExchange == nullptr)
        return "query";
    switch (pExchange->nKind)
    {
    case CExchangeLine::UNANSWERED:
        return "unanswered";
    case CExchangeLine::UNASKED:
        return "response";
    case CExchangeLine::LOOKUP:
        return "lookup";
    case CExchangeLine::ENCRYPTED:
        return "encrypted";
    default:
        return "exchange";
    }
}

using Q = const CQueryLine&;
using E = const CExchangeLine*;

constexpr COutputField FIELDS[] = {
    {"kind", "KIND", 11, false, false, [](Q, E e) { return Text(KindOf(e)); }},
    {"time", "TIME", 33, false, false, [](Q q, E) { return Text(q.strTime); }},
    {"name", "NAME", 32, false, false, [](Q q, E) { return Text(q.name, COutputValue::PRESENTED); }},
    {"type", "TYPE", 7, false, false, [](Q q, E) { return Text(q.strType); }},
    {"transport", "PROTO", 6, false, false, [](Q q, E) { return Text(q.pszTransport); }},
    {"source", "SOURCE", 16, false, false, [](Q q, E) { return Text(q.strSource); }},
    {"source_port", "SPORT", 6, false, false, [](Q q, E) { return Number(q.nSourcePort, q.bHasFrame); }},
    {"destination", "DESTINATION", 16, false, false, [](Q q, E) { return Text(q.strDestination); }},
    {"destination_port", "DPORT", 6, false, false, [](Q q, E) { return Number(q.nDestinationPort, q.bHasFrame); }},
    {"dns_id", "ID", 6, false, false, [](Q q, E) { return Number(q.nDnsId, q.bHasFrame && q.bHasDnsId); }},
    {"rcode", "RCODE", 10, true, false, [](Q, E e) { return Text(e->rcode); }},
    {"flags", "FLAGS", 18, true, false, [](Q, E e) { return Text(e->flags); }},
    {"ttl_min", "TTL_MIN", 8, true, false, [](Q, E e) { return Number(e->nTtlMin, e->bHasTtlMin); }},
    {"latency_us", "LATENCY_US", 11, true, false, [](Q, E e) { return Number(e->nLatencyUs, e->bHasLatency); }},
    {"retries", "RETRIES", 8, true, false, [](Q, E e) { return Number(e->nRetries); }},
    {"answers_left_out", "LEFT_OUT", 9, true, false, [](Q, E e) { return Number(e->nAnswersLeftOut); }},
    {"family", "FAMILY", 7, true, false, [](Q, E e) { return Text(e->family); }},
    {"for", "FOR", 24, true, false,
     [](Q, E e) {
         return e->askedFor.empty() ? Unknown() : COutputValue {COutputValue::ASKED_FOR, {}, 0};
     }},
    {"encrypted", "ENCRYPTED", 10, true, false, [](Q, E e) { return Text(e->encrypted); }},
    {"alpn", "ALPN", 14, true, false, [](Q, E e) { return Text(e->alpn, COutputValue::PRESENTED); }},
    {"sender", "SENDER", 13, false, true, [](Q q, E) { return Text(SenderWord(q.nSender)); }},
    {"pid", "PID", 8, false, true, [](Q q, E) { return Number(q.nPid, q.nPid != 0); }},
    {"program", "PROGRAM", 16, false, true, [](Q q, E) { return Text(q.program, COutputValue::TEXT); }},
    {"user", "USER", 12, false, true, [](Q q, E) { return Text(q.user, COutputValue::TEXT); }},
    {"unit", "UNIT", 28, false, true, [](Q q, E) { return Text(q.unit, COutputValue::TEXT); }},
    {"netns", "NETNS", 11, false, true, [](Q q, E) { return Number(q.nNetNs, q.nNetNs != 0); }},
    // Last, so that text, whose answers hold spaces, ends with them.
    {"answers", "ANSWERS", 0, true, false,
     [](Q, E) {
         return COutputValue {COutputValue::ANSWERS, {}, 0};
     }},
};

struct CSenderWord
{
    Channel::Sender nSender;
    const char* pszWord;
};
constexpr CSenderWord SENDER_WORDS[] = {
    {Channel::SENDER_PROGRAM, "program"},
    {Channel::SENDER_ANOTHER_USER, "another user"},
    {Channel::SENDER_ANOTHER_HOST, "another host"},
};

} // namespace

std::span<const COutputField> OutputFields()
{
    return FIELDS;
}

const COutputField* FindOutputField(std::string_view key)
{
    for (const COutputField& field : FIELDS)
    {
        if (key == field.pszKey)
            return &field;
    }
    return nullptr;
}

std::string_view SenderWord(Channel::Sender nSender)
{
    for (const CSenderWord& word : SENDER_WORDS)
    {
        if (word.nSender == nSender)
            return word.pszWord;
    }
    return {};
}
