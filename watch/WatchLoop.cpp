#include "watch/WatchLoop.h"

#include "capture/CaptureTexts.h"
#include "capture/LocalAddresses.h"
#include "dns/DnsTypes.h"
#include "watch/PcapReader.h"
#include "platform/InterfaceAddresses.h"
#include "platform/ReadSandbox.h"
#include "watch/StopSignals.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

using namespace Channel;

namespace {

// A file's queries are written out in batches of about this size, as a capture's would be.
constexpr size_t FILE_BATCH_BYTES = 64 * 1024;
// The lines of exchanges that end at once (a timeout after a flood, the end of a capture) are
// written whenever they gather this much, which would otherwise be tens of megabytes before the
// first of them is written; as few writes as a capture's step takes otherwise.
constexpr size_t ENDED_BATCH_BYTES = 1024 * 1024;
// A file's table looks for keys and its next redraw this often, not at every frame.
constexpr size_t FILE_FRAMES_BETWEEN_KEYS = 4096;
// How much longer than the timeout an ended lookup is kept: the helper's word on it may come a
// drain after the query's frame.
constexpr std::uint64_t LOOKUP_KEPT_EXTRA_NS = 1'000'000'000;

} // namespace

namespace {

// The socket's error says so when the interface went down; one deleted at once may take its name
// along before the helper's word comes.
bool HasGone(const std::string& strInterface, int nFailedError)
{
    CInterfaceFacts facts;
    return !strInterface.empty() && nFailedError != 0
           && (nFailedError == ENETDOWN || nFailedError == ENODEV || !FindInterface(strInterface.c_str(), facts)
               || (facts.nFlags & IFF_UP) == 0);
}

} // namespace

CWatchLoop::CWatchLoop(const CWatchOptions& options, int hOutput, std::FILE* pErrors)
    : m_options(options)
    , m_hOutput(hOutput)
    , m_output(hOutput)
    , m_pErrors(pErrors)
    , m_lineMaker(options.bUtc, &m_senders)
    , m_exchanges(*this, options.nTimeoutMs * 1'000'000)
    // An exchange that ends unanswered ends a timeout after its query: the lookup it was asked
    // for may have ended meanwhile.
    , m_waiting(options.nTimeoutMs * 1'000'000 + LOOKUP_KEPT_EXTRA_NS)
    , m_exchangeMaker(m_lineMaker, &m_waiting, &m_senders)
    , m_lookupMaker(m_lineMaker, m_senders)
    , m_encryptedMaker(m_lineMaker)
    , m_filter(options.filter)
{
    if (options.bTop)
        m_pTop = std::make_unique<CTopTable>(!options.bQueriesOnly, CTopTable::MAX_KEYS, options.bLookups,
                                             options.bEncrypted);
}

std::string CWatchLoop::CountsText() const
{
    std::string strText = "frames " + std::to_string(m_nFrames) + ", queries " + std::to_string(m_nQueries)
                          + ", missed " + std::to_string(m_nMissed) + ", named " + std::to_string(m_nNamed)
                          + ", unnamed " + std::to_string(m_nQueries - m_nNamed);
    if (!m_options.bQueriesOnly)
        strText += ", answered " + std::to_string(m_nAnswered) + ", unanswered " + std::to_string(m_nUnanswered)
                   + " (given up early " + std::to_string(m_exchanges.GetGivenUpCount()) + ", for a full key "
                   + std::to_string(m_exchanges.GetCrowdedCount()) + "), wrong checksums "
                   + std::to_string(m_nWrongChecksums) + ", unchecked " + std::to_string(m_nUnchecked);
    if (m_options.bLookups)
        strText += ", lookups " + std::to_string(m_nLookups) + ", lookups lost " + std::to_string(m_nLookupsLost);
    if (m_options.bEncrypted)
        strText += ", encrypted " + std::to_string(m_nEncrypted);
    return strText + ", printed " + std::to_string(m_nPrinted);
}

int CWatchLoop::OpenOutputFile()
{
    if (m_options.strOutput.empty())
        return -1;
    if (std::string strError; !m_output.OpenFile(m_options.strOutput, strError))
    {
        Say(strError);
        return CWatchOptions::EXIT_OUTPUT_FAILED;
    }
    return -1;
}

int CWatchLoop::TakeRequests(bool bCanReopen)
{
    if (CStopSignals::TakeCounts())
        Say(CountsText());
    if (!CStopSignals::TakeReopen() || !bCanReopen)
        return -1;
    // What came before the signal belongs in the file that was there before it.
    if (const int nExit = FlushOutput(); nExit >= 0)
        return nExit;
    if (std::string strError; !m_output.Reopen(strError))
        Say("could not open the output file again, still writing to the old one: " + strError);
    else if (!m_options.bNoHeads)
        m_options.format.AppendHeader(m_output.GetBuffer()); // each file read on its own says its columns
    return -1;
}

void CWatchLoop::Say(const std::string& strText)
{
    // Written over the table, a notice would be garbled and leave garbage: it waits, and is shown
    // as the table's status meanwhile.
    if (m_pScreen != nullptr)
    {
        m_strHeldNotices += "tarrow-watch: " + strText + "\n";
        m_pScreen->Draw(m_strStatus + " | " + strText);
        return;
    }
    std::fprintf(m_pErrors, "tarrow-watch: %s\n", strText.c_str());
    std::fflush(m_pErrors);
}

bool CWatchLoop::IsNewEnough(std::string_view name)
{
    if (!m_options.bNewOnly)
        return true;
    const CNewNames::Sighting nSighting = m_newNames.Sight(name);
    if (nSighting == CNewNames::REFUSED && m_newNames.GetRefusedCount() == 1)
        Say("--new-only keeps at most 10,000,000 names or 1 GiB of them, and has reached that: from now on no "
            "name can be told new, and none is printed");
    return nSighting == CNewNames::FIRST;
}

void CWatchLoop::OnQuery(const CNameRecord& name, std::string_view text)
{
    ++m_nFrames;
    ++m_nQueries;
    if (name.nSender == SENDER_PROGRAM)
        ++m_nNamed;
    if (!m_options.bQueriesOnly)
    {
        ExpireBefore(name.facts.nSeconds, name.facts.nNanoseconds);
        m_exchanges.OnQuery(name, text);
        return;
    }
    if (IsCountReached())
        return;
    // Without a filter, --new-only's repeats cost no line.
    const CQueryLine* pLine = nullptr;
    if (!m_filter.IsEmpty())
    {
        pLine = &m_lineMaker.Make(name, text);
        if (!m_filter.Keeps(*pLine, nullptr))
            return;
    }
    if (!IsNewEnough(text))
        return;
    const CQueryLine& line = pLine != nullptr ? *pLine : m_lineMaker.Make(name, text);
    if (m_pTop != nullptr)
        m_pTop->Add(line, nullptr);
    else
        m_options.format.AppendQuery(m_output.GetBuffer(), line);
    ++m_nPrinted;
}

void CWatchLoop::OnQueryAhead(const CNameRecord& query, std::string_view)
{
    if (!m_options.bQueriesOnly)
        m_exchanges.Prefetch(query);
}

void CWatchLoop::OnResponse(const CResponseRecord& response, std::string_view name, std::string_view answers)
{
    ++m_nFrames;
    if (m_options.bQueriesOnly)
        return;
    ExpireBefore(response.facts.nSeconds, response.facts.nNanoseconds);
    if ((response.nFlags & RESPONSE_CHECKSUM_WRONG) != 0)
    {
        if (m_nWrongChecksums++ == 0)
            Say("a response with a wrong checksum came, which its asker's kernel drops: such responses answer no "
                "query here either, and are only counted");
        return;
    }
    const bool bChecked = (response.nFlags & RESPONSE_CHECKSUM_UNCHECKED) == 0;
    m_nUnchecked += bChecked ? 0 : 1;
    m_exchanges.OnResponse(response, name, answers, bChecked);
}

void CWatchLoop::OnLookup(const CLookupRecord& lookup, std::string_view name, std::string_view host)
{
    if (!m_options.bLookups)
        return;
    if (lookup.nPhase == LOOKUP_PHASE_BEGAN)
    {
        m_waiting.Began(lookup, name);
        return;
    }
    m_waiting.Ended(lookup, name);
    ++m_nLookups;
    if (IsCountReached())
        return;
    const auto [line, exchange] = m_lookupMaker.Make(lookup, name, host);
    PrintExchange(line, exchange);
}

void CWatchLoop::OnEncrypted(const CEncryptedRecord& encrypted, std::string_view serverName, std::string_view alpn)
{
    if (!m_options.bEncrypted)
        return;
    ++m_nEncrypted;
    if (IsCountReached())
        return;
    const auto [line, exchange] = m_encryptedMaker.Make(encrypted, serverName, alpn);
    PrintExchange(line, exchange);
}

bool CWatchLoop::PrintExchange(const CQueryLine& line, const CExchangeLine& exchange)
{
    // A server name is no name anybody asked for: --new-only leaves it to the queries.
    if (!m_filter.Keeps(line, &exchange) || (exchange.nKind != CExchangeLine::ENCRYPTED && !IsNewEnough(line.name)))
        return false;
    if (m_pTop != nullptr)
        m_pTop->Add(line, &exchange);
    else
        m_options.format.AppendExchange(m_output.GetBuffer(), line, exchange);
    ++m_nPrinted;
    return true;
}

void CWatchLoop::ExpireBefore(std::int64_t nSeconds, std::uint32_t nNanoseconds)
{
    m_exchanges.Expire({nSeconds, nNanoseconds});
    m_waiting.Expire({nSeconds, nNanoseconds});
    const std::uint64_t nCrowded = m_exchanges.GetCrowdedCount();
    if (m_exchanges.GetGivenUpCount() > nCrowded && m_nGivenUpTold <= m_nCrowdedTold)
        Say("more than " + std::to_string(CExchangeTable::MAX_OPEN)
            + " queries wait for their responses: from now on the oldest is given up as unanswered when another "
              "comes");
    if (nCrowded != 0 && m_nCrowdedTold == 0)
        Say("more than " + std::to_string(CExchangeTable::MAX_PER_KEY)
            + " queries with other questions wait on one source, destination and DNS id: from now on the oldest of "
              "them is given up as unanswered when another comes");
    m_nGivenUpTold = m_exchanges.GetGivenUpCount();
    m_nCrowdedTold = nCrowded;
}

void CWatchLoop::OnExchange(const CExchangeTable::CQuery* pQuery, const CResponseRecord* pResponse,
                            std::string_view responseName, std::string_view answers)
{
    if (pQuery != nullptr)
        ++(pResponse != nullptr ? m_nAnswered : m_nUnanswered);
    if (IsCountReached())
        return;
    const auto [line, exchange] = m_exchangeMaker.Make(pQuery, pResponse, responseName, answers);
    if (!PrintExchange(line, exchange))
        return;
    // What could not be written ends the run at the loop's next flush.
    if (m_output.GetBuffer().size() >= ENDED_BATCH_BYTES && m_nWriteExit < 0)
        m_nWriteExit = FlushOutput();
}

bool CWatchLoop::StartScreen(const std::string& strStatus)
{
    if (m_pTop == nullptr || !isatty(m_hOutput) || !isatty(STDIN_FILENO))
        return true;
    m_pScreen = std::make_unique<CTopScreen>(*m_pTop, m_options.nTopRows);
    if (std::string strError; !m_pScreen->Start(strError))
    {
        m_pScreen.reset();
        Say(strError);
        return false;
    }
    m_strStatus = strStatus;
    return TendScreen(true);
}

bool CWatchLoop::TendScreen(bool bNow)
{
    if (m_pScreen == nullptr)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (bNow || now >= m_nextDraw)
    {
        m_pScreen->Draw(m_strStatus);
        m_nextDraw = now + std::chrono::milliseconds(m_options.nIntervalMs);
    }
    return m_pScreen->TakeKeys();
}

void CWatchLoop::EndScreen()
{
    if (m_pScreen == nullptr)
        return;
    m_pScreen.reset();
    std::fputs(m_strHeldNotices.c_str(), m_pErrors);
    std::fflush(m_pErrors);
    m_strHeldNotices.clear();
}

void CWatchLoop::AppendTopTables()
{
    if (m_pTop == nullptr || m_pScreen != nullptr)
        return;
    std::string& strOut = m_output.GetBuffer();
    for (const CTopTable::Kind nKind : m_pTop->GetKinds())
    {
        if (m_options.format.GetKind() == CQueryFormat::JSON)
            m_pTop->AppendJson(strOut, nKind, m_options.nTopRows);
        else
        {
            if (nKind != m_pTop->GetKinds().front())
                strOut += '\n';
            m_pTop->AppendText(strOut, nKind, m_options.nTopRows);
        }
    }
}

int CWatchLoop::FlushOutput()
{
    if (m_nWriteExit >= 0)
        return m_nWriteExit;
    if (m_output.Flush())
        return -1;
    // A reader that left, or a stop signal during the write, ends the run as asked.
    if (errno == EPIPE || (errno == EINTR && CStopSignals::IsRaised()))
        return CWatchOptions::EXIT_DONE;
    Say(std::string("writing the output failed: ") + std::strerror(errno));
    return CWatchOptions::EXIT_OUTPUT_FAILED;
}

int CWatchLoop::RunCapture()
{
    const int nExit = Capture();
    if (m_options.bStats)
        Say(CountsText());
    return nExit;
}

int CWatchLoop::RunFile(bool bSandboxed)
{
    const int nExit = ReadFile(bSandboxed);
    if (m_options.bStats)
        Say(CountsText());
    return nExit;
}

int CWatchLoop::Capture()
{
    if (const int nExit = OpenOutputFile(); nExit >= 0)
        return nExit;
    CCaptureChoice choice;
    if (std::string strWhy; !ChooseCapture(m_options.strAddress, m_options.strInterface, choice, strWhy))
    {
        Say(strWhy);
        // Only a choice given can be a bad one: with none, nothing is up to choose from.
        return m_options.strAddress.empty() && m_options.strInterface.empty() ? CWatchOptions::EXIT_CAPTURE_FAILED
                                                                              : CWatchOptions::EXIT_USAGE;
    }

    CCaptureRun run(*this);
    const Wants nFrames = m_options.bQueriesOnly ? WANTS_QUERIES : WANTS_EXCHANGES;
    const Wants nWants =
        Wants(nFrames | (m_options.bLookups ? WANTS_LOOKUPS : 0) | (m_options.bEncrypted ? WANTS_ENCRYPTED : 0));
    if (!run.Start(choice.strTarget, nWants, m_options.bEncrypted ? m_options.strDohResolvers : std::string()))
    {
        Say(run.GetErrorText());
        return CWatchOptions::EXIT_CAPTURE_FAILED;
    }
    if (run.GetReceiveAllError() != 0)
        Say(CaptureTexts::ReceiveAllNotice(run.GetReceiveAllError()));
    if (run.GetSendersError() != 0)
        Say(CaptureTexts::SendersNotice(run.GetSendersError()));
    if (run.GetLookupsError() != 0)
        Say(CaptureTexts::LookupsNotice(run.GetLookupsError()));
    if (m_pTop == nullptr)
    {
        if (!m_options.bNoHeads)
            m_options.format.AppendHeader(m_output.GetBuffer());
    }
    else if (!StartScreen("capturing on " + (choice.strInterface.empty() ? choice.strTarget : choice.strInterface)))
    {
        run.End(CHelperProcess::EXIT_GRACE_MS);
        return CWatchOptions::EXIT_CAPTURE_FAILED;
    }

    using CClock = std::chrono::steady_clock;
    const auto deadline = CClock::now() + std::chrono::milliseconds(m_options.nDurationMs);
    CClock::time_point gatherUntil {};
    int nExit = FlushOutput();
    while (nExit < 0 && !CStopSignals::IsRaised())
    {
        int nTimeoutMs = CCaptureRun::HEARTBEAT_MS;
        if (m_options.nDurationMs != 0)
        {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - CClock::now()).count();
            if (left <= 0)
            {
                nExit = CWatchOptions::EXIT_DONE;
                break;
            }
            nTimeoutMs = int(std::min<long long>(left, nTimeoutMs));
        }
        if (m_pScreen != nullptr)
        {
            const auto untilDraw = std::chrono::ceil<std::chrono::milliseconds>(m_nextDraw - CClock::now()).count();
            nTimeoutMs = int(std::clamp<long long>(untilDraw, 0, nTimeoutMs));
        }
        const bool bGathering = CClock::now() < gatherUntil;
        if (bGathering)
        {
            const auto untilRead = std::chrono::ceil<std::chrono::milliseconds>(gatherUntil - CClock::now()).count();
            nTimeoutMs = int(std::clamp<long long>(untilRead, 0, nTimeoutMs));
        }
        // With the table on the screen, keys wake the loop too.
        pollfd fds[] = {{bGathering ? -1 : run.GetDescriptor(), POLLIN, 0},
                        {CStopSignals::GetDescriptor(), POLLIN, 0},
                        {STDIN_FILENO, POLLIN, 0}};
        const int nReady = m_pScreen != nullptr ? m_pScreen->Wait(fds, 3, nTimeoutMs) : poll(fds, 2, nTimeoutMs);
        if (nReady < 0 && errno != EINTR)
        {
            Say(std::string("poll failed: ") + std::strerror(errno));
            nExit = CWatchOptions::EXIT_CAPTURE_FAILED;
            break;
        }
        if (CStopSignals::IsRaised())
            break;
        CStopSignals::Drain();
        if (nExit = TakeRequests(true); nExit >= 0)
            break;
        const CChannelReader::CNews news = run.Step(nReady > 0 && fds[0].revents != 0);
        if (run.ShouldGather(news))
            gatherUntil = CClock::now() + std::chrono::milliseconds(CCaptureRun::GATHER_MS);
        if (!m_options.bQueriesOnly)
        {
            // The frames' times are the kernel's real time: so is the clock their timeouts run on.
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            ExpireBefore(now.tv_sec, std::uint32_t(now.tv_nsec));
        }
        m_nMissed = news.nMissed;
        m_nLookupsLost = news.nLookupsLost;
        if (news.bLookupsLostGrew)
            Say(std::to_string(news.nLookupsLost)
                + " lookups lost since the start: the kernel had no room for them, as a program looks names up "
                  "faster than they can be printed");
        if (news.bMissedGrew)
        {
            Say(std::to_string(news.nMissed) + " queries missed since the start: the kernel had to drop them");
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            if (m_pTop == nullptr)
                m_options.format.AppendMissed(
                    m_output.GetBuffer(), m_lineMaker.FormatTime(now.tv_sec, std::uint32_t(now.tv_nsec)), news.nMissed);
        }
        if (!TendScreen(false))
            break;
        nExit = FlushOutput();
        if (nExit >= 0 || IsCountReached())
            break;
        // Ctrl+C reaches the helper too, in the same process group: its end is then no failure.
        if (!news.strEnded.empty() && !CStopSignals::IsRaised())
        {
            Say(HasGone(choice.strInterface, news.nFailedError) ? choice.strInterface + " went away" : news.strEnded);
            nExit = CWatchOptions::EXIT_CAPTURE_FAILED;
        }
    }
    // The terminal is put back at once, not after the helper's grace time.
    EndScreen();
    run.End(CHelperProcess::EXIT_GRACE_MS);
    // What still waits had no response while the capture ran.
    if (nExit < 0 || nExit == CWatchOptions::EXIT_DONE)
    {
        m_exchanges.Flush();
        AppendTopTables();
        if (const int nFlushed = FlushOutput(); nFlushed >= 0 && nExit < 0)
            nExit = nFlushed;
    }
    return nExit < 0 ? CWatchOptions::EXIT_DONE : nExit;
}

int CWatchLoop::ReadFile(bool bSandboxed)
{
    // Before the sandbox, which opens nothing: so SIGHUP cannot reopen it while the file is read.
    if (const int nExit = OpenOutputFile(); nExit >= 0)
        return nExit;
    CPcapReader file;
    if (!file.Open(m_options.strFile))
    {
        Say(file.GetErrorText());
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    // A file's connections are told as a capture's would be, by the same resolvers.
    CDohResolvers resolvers = CDohResolvers::BuiltIn();
    if (m_options.bEncrypted)
    {
        std::string strError;
        resolvers.Add(m_options.strDohResolvers, &strError);
        file.TellEncrypted(resolvers);
    }
    // The screen takes the terminal before the sandbox, which could not let it read the terminfo.
    if (m_pTop != nullptr && !StartScreen("reading " + m_options.strFile))
        return CWatchOptions::EXIT_FILE_FAILED;
    if (std::string strWhy; bSandboxed && !EnterReadSandbox(&strWhy, m_pScreen != nullptr))
    {
        Say(strWhy);
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    if (m_pTop == nullptr && !m_options.bNoHeads)
        m_options.format.AppendHeader(m_output.GetBuffer());
    bool bQuit = false;
    for (size_t nFrames = 1;
         !IsCountReached() && !CStopSignals::IsRaised() && file.Next(*this, !m_options.bQueriesOnly); ++nFrames)
    {
        TakeRequests(false);
        if (m_output.GetBuffer().size() >= FILE_BATCH_BYTES)
        {
            if (const int nExit = FlushOutput(); nExit >= 0)
                return nExit;
        }
        if (nFrames % FILE_FRAMES_BETWEEN_KEYS == 0 && !TendScreen(false))
        {
            bQuit = true;
            break;
        }
    }
    // The file has no more responses to give.
    m_exchanges.Flush();
    AppendTopTables();
    if (m_pScreen != nullptr && !bQuit)
    {
        // The file's last table stays until it is read and put away.
        m_strStatus = file.GetErrorText().empty() ? m_options.strFile + " read to its end"
                                                  : m_options.strFile + ": " + file.GetErrorText();
        for (bool bGoOn = TendScreen(true); bGoOn && !CStopSignals::IsRaised(); bGoOn = TendScreen(false))
        {
            pollfd fds[] = {{CStopSignals::GetDescriptor(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            if (m_pScreen->Wait(fds, 2, -1) < 0 && errno != EINTR)
                break;
        }
    }
    EndScreen();
    if (const int nExit = FlushOutput(); nExit >= 0)
        return nExit;
    if (!file.GetErrorText().empty())
    {
        Say(file.GetErrorText());
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    return CWatchOptions::EXIT_DONE;
}
