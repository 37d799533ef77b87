#pragma once

#include "watch/ExchangeLine.h"
#include "watch/QueryLine.h"

#include <cstdint>
#include <span>
#include <string_view>

// What tarrow-watch's lines say, one row a field: its name (JSON's key and the head of TSV and
// CSV), its head and width in text, whether only exchanges carry it, and its value for a line.
// Every format walks these rows, so every format carries the same fields in the same order, kind
// first; a new field is one row here.
struct COutputValue
{
    enum Kind
    {
        UNKNOWN, // null in JSON, "-" in text, nothing in TSV and CSV
        NUMBER,
        TEXT,      // bytes of another process (a command, a user, a unit): written in their presentation form
        PRESENTED, // a name in its master-file form already, as the helper sends it
        WORD,      // this program's own words and numbers (a time, a type, an address): as they are
        ANSWERS,   // the exchange's answers
        ASKED_FOR, // the lookups a resolver's exchange was for
    };
    Kind nKind = UNKNOWN;
    std::string_view text;
    std::uint64_t nNumber = 0;
};

struct COutputField
{
    const char* pszKey;
    const char* pszHead;
    unsigned nWidth; // of the text column; a longer value pushes the rest of its line
    bool bExchangesOnly;
    // The fields of who sent the query, which most lines share with the line before.
    bool bSender;
    COutputValue (*pfnValue)(const CQueryLine& query, const CExchangeLine* pExchange);
};

std::span<const COutputField> OutputFields();
// The row of a key that is one; the tables of --top take their heads from here.
const COutputField* FindOutputField(std::string_view key);

// Who sent a query, in this program's words: empty for SENDER_UNKNOWN.
std::string_view SenderWord(Channel::Sender nSender);
