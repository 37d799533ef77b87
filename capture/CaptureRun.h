#pragma once

#include "capture/ChannelReader.h"
#include "capture/HelperProcess.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// One capture from its start to its end, for every front end: it starts the helper for an address
// and turns a failed start into the text the user sees, reads the helper's channel into a sink,
// tells a helper gone silent from a quiet interface, and ends the helper and reaps it. It owns no
// loop and no Qt: the window drives it from its event loop, tarrow-watch from its poll loop. Each
// waits until GetDescriptor() is readable or GetHeartbeatMs() has passed, and then calls Step.
class CCaptureRun
{
public:
    using CClock = std::chrono::steady_clock;

    // How long a front end may wait for the channel before it must Step anyway.
    static constexpr int HEARTBEAT_MS = int(Channel::HEARTBEAT_MS);
    // While records trickle in, a front end leaves the channel alone for GATHER_MS after each
    // step: the helper hands on what it has every few milliseconds, and each wakeup costs more
    // than what it brings. The first step after a quiet spell does not start it, so a lone query
    // and its response are both read at once; a burst is read at once too. The channel holds far
    // more than GATHER_MS of a trickle, and the helper's ring holds seconds should it ever be full.
    static constexpr int GATHER_MS = 20;
    // Whether to leave the channel alone for GATHER_MS after this step.
    bool ShouldGather(const CChannelReader::CNews& news, CClock::time_point now = CClock::now());

    explicit CCaptureRun(CChannelReader::CSink& sink) : m_reader(sink) {}
    // A running helper is told to end; one still there is killed: none is left behind.
    ~CCaptureRun() = default;

    CCaptureRun(const CCaptureRun&) = delete;
    CCaptureRun& operator=(const CCaptureRun&) = delete;

    // Ends a running capture first. True when the capture runs; false with the text and errno of
    // the failure (ENOENT: no helper found, EPERM: no right to capture). strResolvers: as
    // CHelperProcess::Start takes them.
    bool Start(const std::string& strLocalAddress, Channel::Wants nWants, const std::string& strResolvers = {});
    const std::string& GetErrorText() const { return m_strError; }
    int GetErrorNumber() const { return m_nError; }
    // Of a start that runs: why promiscuous mode was refused, and why programs are not named
    // (errnos, 0 for none).
    int GetReceiveAllError() const { return m_nReceiveAllError; }
    int GetSendersError() const { return m_nSendersError; }
    // Of a start that asked for lookups: why they are not told (an errno, 0 for none).
    int GetLookupsError() const { return m_nLookupsError; }

    bool IsRunning() const { return m_reader.GetDescriptor() >= 0; }
    int GetDescriptor() const { return m_reader.GetDescriptor(); }
    // What the channel holds now when it was readable, otherwise the heartbeat's check that the
    // helper still speaks. Names go to the sink before it returns.
    CChannelReader::CNews Step(bool bReadable, CClock::time_point now = CClock::now());

    // Closes the channel, which ends the helper. Waits up to nWaitMs for its end; a helper still
    // there then is kept to be reaped by ReapEnding, and killed once its grace is over.
    void End(int nWaitMs = 0);
    // Reaps the helpers that ended, kills those past their grace; true when none is left.
    bool ReapEnding(CClock::time_point now = CClock::now());

private:
    static constexpr size_t GATHER_BELOW_BYTES = 64 << 10;
    // When a step last brought records.
    CClock::time_point m_lastBrought {};

    bool Fail(int nError, std::string strText);

    CChannelReader m_reader;
    CHelperProcess m_helper;
    std::string m_strError;
    int m_nError = 0;
    int m_nReceiveAllError = 0;
    int m_nSendersError = 0;
    int m_nLookupsError = 0;

    // Helpers whose channel was closed, each with the time by which it must have ended.
    struct CEnding
    {
        CHelperProcess process;
        CClock::time_point killAt;
    };
    std::vector<CEnding> m_ending;
};
