#pragma once

#include "watch/ExchangeLine.h"
#include "watch/ExchangeTable.h"
#include "watch/QueryLineMaker.h"
#include "watch/WaitingLookups.h"

#include <string>
#include <string_view>
#include <vector>

// Turns an exchange as the table ends it (a query and its response, a query alone, a response
// alone) into the two parts of its line: the query's fields, told from the asker's side also for a
// response no query was seen for, and what the response adds, with the lookups pWaiting says the
// query was asked for. Both stand until the next call.
class CExchangeLineMaker
{
public:
    explicit CExchangeLineMaker(CQueryLineMaker& queries, const CWaitingLookups* pWaiting = nullptr,
                                CSenderNames* pSenders = nullptr)
        : m_queries(queries), m_pWaiting(pWaiting), m_pSenders(pSenders)
    {}

    struct CMade
    {
        const CQueryLine& query;
        const CExchangeLine& exchange;
    };
    CMade Make(const CExchangeTable::CQuery* pQuery, const Channel::CResponseRecord* pResponse,
               std::string_view responseName, std::string_view answers);

private:
    CQueryLineMaker& m_queries;
    const CWaitingLookups* m_pWaiting;
    CSenderNames* m_pSenders;
    Channel::CNameRecord m_unasked;
    CExchangeLine m_exchange;
    std::string m_strRcode;
    std::string m_strFlags;
    std::vector<std::string> m_answerTypes;
};
