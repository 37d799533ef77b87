#include "watch/EncryptedLineMaker.h"

#include "watch/FlagWords.h"

using namespace Channel;

namespace {

struct CProtocolWord
{
    std::uint8_t nProtocol;
    const char* pszWord;
};
constexpr CProtocolWord PROTOCOL_WORDS[] = {
    {ENCRYPTED_TLS, "DoT"},
    {ENCRYPTED_HTTPS, "DoH"},
    {ENCRYPTED_QUIC, "DoQ"},
};

constexpr CFlagWord ENCRYPTED_FLAG_WORDS[] = {
    {ENCRYPTED_ECH, "ech"},
    {ENCRYPTED_CUT, "cut"},
    {ENCRYPTED_BY_ADDRESS, "by-address"},
};

} // namespace

std::string_view CEncryptedLineMaker::ProtocolWord(std::uint8_t nProtocol)
{
    for (const auto& [nOne, pszWord] : PROTOCOL_WORDS)
    {
        if (nOne == nProtocol)
            return pszWord;
    }
    return {};
}

CEncryptedLineMaker::CMade CEncryptedLineMaker::Make(const CEncryptedRecord& encrypted, std::string_view name,
                                                     std::string_view alpn)
{
    // As a query of the same frame and sender would be written; the line's program is a view into
    // the record it was made of, which stays here until the next call.
    m_asQuery = CNameRecord();
    m_asQuery.facts = encrypted.facts;
    m_asQuery.nSender = encrypted.nSender;
    m_asQuery.sender = encrypted.sender;
    m_query = m_queries.Make(m_asQuery, name);
    m_query.bHasDnsId = false;

    CExchangeLine& exchange = m_exchange;
    exchange = CExchangeLine();
    exchange.nKind = CExchangeLine::ENCRYPTED;
    exchange.encrypted = ProtocolWord(encrypted.nProtocol);
    exchange.alpn = alpn;
    m_strFlags.clear();
    AppendFlagWords(m_strFlags, encrypted.nFlags, ENCRYPTED_FLAG_WORDS);
    exchange.flags = m_strFlags;
    return {m_query, exchange};
}
