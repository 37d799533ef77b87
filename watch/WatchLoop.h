#pragma once

#include "capture/CaptureRun.h"
#include "dns/NewNames.h"
#include "watch/ExchangeLine.h"
#include "watch/ExchangeTable.h"
#include "watch/OutputStream.h"
#include "watch/QueryLineMaker.h"
#include "watch/SenderNames.h"
#include "watch/TopScreen.h"
#include "watch/TopTable.h"
#include "watch/WatchOptions.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// tarrow-watch's run: the capture run's driver for terminals, waited for in its own poll loop
// together with the stop signals, or the queries of a file. Each batch read is printed and flushed
// at once. Returns the exit code; the helper is always reaped.
class CWatchLoop final : private CChannelReader::CSink, private CExchangeTable::CSink
{
public:
    CWatchLoop(const CWatchOptions& options, int hOutput, std::FILE* pErrors);
    ~CWatchLoop() { EndScreen(); }

    int RunCapture();
    // With bSandboxed, the process enters the reading sandbox once the file is open, before a byte
    // of it is read.
    int RunFile(bool bSandboxed);

private:
    void OnQuery(const Channel::CNameRecord& query, std::string_view name) override;
    void OnResponse(const Channel::CResponseRecord& response, std::string_view name, std::string_view answers) override;
    void OnExchange(const CExchangeTable::CQuery* pQuery, const Channel::CResponseRecord* pResponse,
                    std::string_view responseName, std::string_view answers) override;
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
    CExchangeLine m_exchange;
    std::vector<std::string> m_answerTypes;
    std::string m_strRcode;
    std::uint64_t m_nPrinted = 0;
    std::uint64_t m_nGivenUpTold = 0;
    // --top: lines are counted here instead of printed.
    std::unique_ptr<CTopTable> m_pTop;
    std::unique_ptr<CTopScreen> m_pScreen;
    std::string m_strStatus;
    std::string m_strHeldNotices;
    std::chrono::steady_clock::time_point m_nextDraw;
};
