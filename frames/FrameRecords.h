#pragma once

// From a frame to the record the channel carries: the one step the capture helper takes for every
// frame it captures, and tarrow-watch for every frame of a capture file, so that a file gives what
// a live capture of the same frames would. Between the decoder and the wire, and neither of them.

#include "channel/Channel.h"
#include "dns/DnsName.h"
#include "dns/DnsResponse.h"
#include "dns/TransportChecksum.h"
#include "frames/EncryptedRecords.h"

#include <cstdint>
#include <memory>
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

class CFrameRecords
{
public:
    enum Kind
    {
        NONE,     // nothing the front end asked for, or a time no capture could give
        QUERY,    // GetQuery and GetName; GetTimedName for WANTS_NAMES
        RESPONSE, // WANTS_EXCHANGES only: GetResponse and its tail
        // Once TellEncrypted was called: GetEncrypted, its tail and facts.
        ENCRYPTED,
    };

    // From now on, frames of connections that speak DNS encrypted give their records too, told by
    // these resolvers (which must outlive this).
    void TellEncrypted(const CDohResolvers& resolvers)
    {
        m_pEncrypted = std::make_unique<CEncryptedRecordMaker>(resolvers);
    }

    // What the frame (from its network header on) gives; the records stand until the next call.
    Kind Make(const unsigned char* pFrame, size_t nLength, std::int64_t nSeconds, std::uint32_t nNanoseconds,
              Channel::Wants nWants, EChecksumHint hint);

    // The query's record, without a sender: the helper fills that in from the decoder's facts.
    Channel::CNameRecord& GetQuery() { return m_query; }
    const CQueryFacts& GetQueryFacts() const { return m_facts; }
    std::string_view GetName() const { return {m_szName, m_query.nLength}; }
    Channel::CTimedNameRecord GetTimedName() const;

    const Channel::CResponseRecord& GetResponse() const { return m_response.GetRecord(); }
    std::string_view GetResponseName() const { return m_response.GetTail().substr(0, GetResponse().nLength); }
    std::string_view GetAnswers() const { return m_response.GetTail().substr(GetResponse().nLength); }
    std::string_view GetResponseTail() const { return m_response.GetTail(); }

    CEncryptedRecordMaker& GetEncrypted() { return *m_pEncrypted; }

private:
    Channel::CNameRecord m_query;
    CQueryFacts m_facts;
    char m_szName[NAME_BUFFER_SIZE] = {};
    CResponseRecordMaker m_response;
    std::unique_ptr<CEncryptedRecordMaker> m_pEncrypted;
};
