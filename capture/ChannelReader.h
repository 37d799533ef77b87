#pragma once

#include "capture/CapturedNames.h"
#include "channel/Channel.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The window's reading of one capture's channel: the step the window's event loop runs when the
// channel is readable. It takes whole messages, checked before anything in them is believed, and
// tells what they hold: the names in arrival order, a grown count of queries the kernel dropped, and
// the end of the capture with its text. Reads only what is there, so a window busy elsewhere reads
// nothing, the helper waits and the burst waits in its ring. No Qt here.
class CChannelReader
{
public:
    // A front end that shows more of a query than its name and time: told every name record as it
    // is read, in arrival order, in place of the batch of names.
    class CNameListener
    {
    public:
        virtual void OnName(const Channel::CNameRecord& name, std::string_view text) = 0;

    protected:
        ~CNameListener() = default;
    };

    // Names taken in one step, bookkeeping included, before the owner is told: the window stays
    // responsive under a flood, and what is left waits in the channel for the next step.
    static constexpr size_t MAX_STEP_BYTES = size_t(4) << 20;

    struct CNews
    {
        const CCapturedNames& names;
        // The queries the kernel had to drop since the start, and whether that grew in this step.
        bool bMissedGrew = false;
        std::uint64_t nMissed = 0;
        // Not empty: the capture has ended, and this says why.
        std::string strEnded;
    };

    CChannelReader();
    ~CChannelReader();

    // Takes the channel of a capture that has just started; counts start afresh.
    void Open(CUniqueFd channel);
    // Closes the channel; what was not read is dropped.
    void Close();
    int GetDescriptor() const { return m_channel.Get(); }
    // From now on names go to the listener (null: back into the batch); it must outlive the reads.
    void SetNameListener(CNameListener* pListener) { m_pListener = pListener; }

    // Reads what the channel holds now, up to MAX_STEP_BYTES of names.
    CNews Read();
    // For the heartbeat: the channel's end when the helper has said nothing for
    // Channel::SILENCE_LIMIT_MS before now and has nothing waiting to be read either; otherwise a
    // Read.
    CNews CheckSilence(std::chrono::steady_clock::time_point now);

private:
    using CClock = std::chrono::steady_clock;

    // The records of a message, handed on by the reader once the whole message checked out.
    friend struct CRecordVisitor;
    void OnName(const Channel::CNameRecord& name, std::string_view text);
    void OnCounts(const Channel::CCountsRecord& counts);
    void OnFailed(const Channel::CFailedRecord& failed);

    CUniqueFd m_channel;
    CCapturedNames m_names;
    CNameListener* m_pListener = nullptr;
    // What went to the listener in this step, counted as the batch would count it.
    size_t m_nToldBytes = 0;
    Channel::CCountsRecord m_counts;
    std::uint64_t m_nMissedTold = 0;
    std::string m_strEnded;
    CClock::time_point m_lastHeard;
    // One byte more than a message may have, so an oversized one shows as cut.
    std::unique_ptr<unsigned char[]> m_pMessage;
};
