#pragma once

#include "channel/Channel.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The reading of one capture's channel, for every front end: it takes whole messages, checks
// them before anything in them is believed, hands each name record to the front end's sink in
// arrival order, and tells what else they hold: a grown count of queries the kernel dropped, and the
// end of the capture with its text. Reads only what is there, so a front end busy elsewhere reads
// nothing, the helper waits and the burst waits in its ring. No Qt here.
class CChannelReader
{
public:
    // Where the records go, each as it is read: names in a batch for the window, lines for
    // tarrow-watch. A front end is sent only the kinds it asked for; the others are ignored.
    class CSink
    {
    public:
        virtual void OnName(std::int64_t nSeconds, std::string_view name);
        virtual void OnQuery(const Channel::CNameRecord& query, std::string_view name);
        virtual void OnResponse(const Channel::CResponseRecord& response, std::string_view name,
                                std::string_view answers);
        // A lookup of a program (tarrow-watch, when it asked for them): its name, and for a reverse
        // lookup the host found.
        virtual void OnLookup(const Channel::CLookupRecord& lookup, std::string_view name, std::string_view host);
        // A connection that speaks DNS encrypted (tarrow-watch, when it asked for them): the server
        // name its hello sent, and its ALPN protocols apart at commas.
        virtual void OnEncrypted(const Channel::CEncryptedRecord& encrypted, std::string_view serverName,
                                 std::string_view alpn);
        // Each query of a message, before the first record of it is handed on: a hint, for a sink
        // that looks queries up, to ask for the memory that will take.
        virtual void OnQueryAhead(const Channel::CNameRecord& query, std::string_view name);

    protected:
        ~CSink() = default;
    };

    // Messages taken in one step before the front end is told: it stays responsive under a flood,
    // and what is left waits in the channel for the next step.
    static constexpr size_t MAX_STEP_BYTES = size_t(8) << 20;

    struct CNews
    {
        // The queries the kernel had to drop since the start, and whether that grew in this step.
        bool bMissedGrew = false;
        std::uint64_t nMissed = 0;
        // The lookups the kernel could not keep since the start, and whether that grew in this step.
        bool bLookupsLostGrew = false;
        std::uint64_t nLookupsLost = 0;
        // Not empty: the capture has ended, and this says why.
        std::string strEnded;
        // When it ended because the capture socket failed: that errno (ENETDOWN: its interface went).
        int nFailedError = 0;
        // The bytes this step read from the channel.
        size_t nBytes = 0;
    };

    // The sink must outlive the reads.
    explicit CChannelReader(CSink& sink);
    ~CChannelReader();

    // Takes the channel of a capture that has just started; counts start afresh.
    void Open(CUniqueFd channel);
    // Closes the channel; what was not read is dropped.
    void Close();
    int GetDescriptor() const { return m_channel.Get(); }

    // Reads what the channel holds now, up to MAX_STEP_BYTES of messages.
    CNews Read();
    // For the heartbeat: the channel's end when the helper has said nothing for
    // Channel::SILENCE_LIMIT_MS before now and has nothing waiting to be read either; otherwise a
    // Read.
    CNews CheckSilence(std::chrono::steady_clock::time_point now);

private:
    using CClock = std::chrono::steady_clock;

    // The records of a message, handed on by the reader once the whole message checked out.
    friend struct CRecordVisitor;
    // Once the capture has ended, nothing after that in the message is believed.
    bool IsEnded() const { return !m_strEnded.empty(); }
    void OnCounts(const Channel::CCountsRecord& counts);
    void OnFailed(const Channel::CFailedRecord& failed);

    CUniqueFd m_channel;
    CSink& m_sink;
    Channel::CCountsRecord m_counts;
    std::uint64_t m_nMissedTold = 0;
    std::uint64_t m_nLookupsLostTold = 0;
    std::string m_strEnded;
    int m_nFailedError = 0;
    CClock::time_point m_lastHeard;
    // One byte more than a message may have, so an oversized one shows as cut.
    std::unique_ptr<unsigned char[]> m_pMessage;
};
