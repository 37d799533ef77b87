#pragma once

#include "capture/CaptureRun.h"
#include "dns/NewNames.h"
#include "watch/ExchangeLine.h"
#include "watch/ExchangeLineMaker.h"
#include "watch/ExchangeTable.h"
#include "watch/EncryptedLineMaker.h"
#include "watch/LineFilter.h"
#include "watch/LookupLineMaker.h"
#include "watch/OutputStream.h"
#include "watch/QueryLineMaker.h"
#include "watch/SenderNames.h"
#include "watch/TopScreen.h"
#include "watch/TopTable.h"
#include "watch/WaitingLookups.h"
#include "watch/WatchOptions.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// tarrow-watch's run: the capture run's driver for terminals, waited for in its own poll loop
// together with the signals, or the queries of a file. Each batch read is printed and flushed at
// once. Returns the exit code; the helper is always reaped.
class CWatchLoop final : private CChannelReader::CSink, private CExchangeTable::CSink
{
public:
    CWatchLoop(const CWatchOptions& options, int hOutput, std::FILE* pErrors);
    ~CWatchLoop() { EndScreen(); }

    int RunCapture();
    // With bSandboxed, the process enters the reading sandbox once the file is open, before a byte
    // of it is read.
    int RunFile(bool bSandboxed);

    // What was seen so far, as SIGUSR1 and --stats print it.
    std::string CountsText() const;

private:
    int Capture();
    int ReadFile(bool bSandboxed);
    // The exit code when -o's file cannot be opened, otherwise -1.
    int OpenOutputFile();
    // Takes the requests of SIGUSR1 and SIGHUP; the exit code when what was gathered could not be
    // written before the file changed, otherwise -1.
    int TakeRequests(bool bCanReopen);
    void OnQuery(const Channel::CNameRecord& query, std::string_view name) override;
    void OnQueryAhead(const Channel::CNameRecord& query, std::string_view name) override;
    void OnResponse(const Channel::CResponseRecord& response, std::string_view name, std::string_view answers) override;
    void OnLookup(const Channel::CLookupRecord& lookup, std::string_view name, std::string_view host) override;
    void OnEncrypted(const Channel::CEncryptedRecord& encrypted, std::string_view serverName,
                     std::string_view alpn) override;
    void OnExchange(const CExchangeTable::CQuery* pQuery, const Channel::CResponseRecord* pResponse,
                    std::string_view responseName, std::string_view answers) override;
    // An exchange's line, or a lookup's, through the filters into the output or --top; false when
    // it is not printed.
    bool PrintExchange(const CQueryLine& line, const CExchangeLine& exchange);
    // False for a name --new-only does not print.
    bool IsNewEnough(std::string_view name);
    // Gives up the queries that waited longer than the timeout, by the time of the last frame.
    void ExpireBefore(std::int64_t nSeconds, std::uint32_t nNanoseconds);
    bool IsCountReached() const { return m_options.nCount != 0 && m_nPrinted >= m_options.nCount; }
    // The exit code when the output could not take what was printed, otherwise -1.
    int FlushOutput();
    void Say(const std::string& strText);
    // --top: the screen when stdin and the output are a terminal. False with the reason said.
    bool StartScreen(const std::string& strStatus);
    // Redraws when the interval is up, or now with bNow; takes the keys. False once q was pressed.
    bool TendScreen(bool bNow);
    // Puts the terminal back, then says what was held back while the table was drawn.
    void EndScreen();
    // Without a screen, every table of the run once, into the output.
    void AppendTopTables();

    const CWatchOptions& m_options;
    int m_hOutput;
    COutputStream m_output;
    std::FILE* m_pErrors;
    CSenderNames m_senders;
    CQueryLineMaker m_lineMaker;
    CNewNames m_newNames;
    CExchangeTable m_exchanges;
    CWaitingLookups m_waiting;
    CExchangeLineMaker m_exchangeMaker;
    CLookupLineMaker m_lookupMaker;
    CEncryptedLineMaker m_encryptedMaker;
    CLineFilter m_filter;
    std::uint64_t m_nPrinted = 0;
    // The exit code of a flush that failed while exchanges ended, for the loop to end with.
    int m_nWriteExit = -1;
    // The counts: records read, queries among them, queries whose program was named or not, the
    // kernel's drops, and how exchanges ended.
    std::uint64_t m_nFrames = 0;
    std::uint64_t m_nQueries = 0;
    std::uint64_t m_nNamed = 0;
    std::uint64_t m_nMissed = 0;
    std::uint64_t m_nAnswered = 0;
    std::uint64_t m_nUnanswered = 0;
    std::uint64_t m_nGivenUpTold = 0;
    std::uint64_t m_nCrowdedTold = 0;
    // Responses whose checksum was wrong, and those that could not be checked.
    std::uint64_t m_nWrongChecksums = 0;
    std::uint64_t m_nUnchecked = 0;
    // Lookups that ended, and those the kernel could not keep.
    std::uint64_t m_nLookups = 0;
    std::uint64_t m_nLookupsLost = 0;
    // Connections that speak DNS encrypted.
    std::uint64_t m_nEncrypted = 0;
    // --top: lines are counted here instead of printed.
    std::unique_ptr<CTopTable> m_pTop;
    std::unique_ptr<CTopScreen> m_pScreen;
    std::string m_strStatus;
    std::string m_strHeldNotices;
    std::chrono::steady_clock::time_point m_nextDraw;
};
