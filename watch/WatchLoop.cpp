#include "watch/WatchLoop.h"

#include "capture/CaptureTexts.h"
#include "capture/LocalAddresses.h"
#include "watch/PcapReader.h"
#include "platform/ReadSandbox.h"
#include "watch/StopSignals.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <poll.h>

using namespace Channel;

namespace {

// A file's queries are written out in batches of about this size, as a capture's would be.
constexpr size_t FILE_BATCH_BYTES = 64 * 1024;

} // namespace

CWatchLoop::CWatchLoop(const CWatchOptions& options, int hOutput, std::FILE* pErrors)
    : m_options(options), m_output(hOutput), m_pErrors(pErrors), m_lineMaker(options.bUtc, &m_senders)
{}

void CWatchLoop::Say(const std::string& strText)
{
    std::fprintf(m_pErrors, "tarrow-watch: %s\n", strText.c_str());
    std::fflush(m_pErrors);
}

void CWatchLoop::OnQuery(const CNameRecord& name, std::string_view text)
{
    if (IsCountReached())
        return;
    if (m_options.bNewOnly)
    {
        const CNewNames::Sighting nSighting = m_newNames.Sight(text);
        if (nSighting == CNewNames::REFUSED && m_newNames.GetRefusedCount() == 1)
            Say("--new-only keeps at most 10,000,000 names or 1 GiB of them, and has reached that: from now on no "
                "name can be told new, and none is printed");
        if (nSighting != CNewNames::FIRST)
            return;
    }
    m_options.format.AppendQuery(m_output.GetBuffer(), m_lineMaker.Make(name, text));
    ++m_nPrinted;
}

int CWatchLoop::FlushOutput()
{
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
    std::string strAddress = m_options.strAddress;
    if (strAddress.empty())
    {
        const std::vector<std::string> addresses = ListLocalIpAddresses();
        if (addresses.empty())
        {
            Say("no interface with an address is up");
            return CWatchOptions::EXIT_CAPTURE_FAILED;
        }
        strAddress = addresses.front();
    }

    CCaptureRun run(*this);
    if (!run.Start(strAddress, WANTS_QUERIES))
    {
        Say(run.GetErrorText());
        return CWatchOptions::EXIT_CAPTURE_FAILED;
    }
    if (run.GetReceiveAllError() != 0)
        Say(CaptureTexts::ReceiveAllNotice(run.GetReceiveAllError()));
    if (run.GetSendersError() != 0)
        Say(CaptureTexts::SendersNotice(run.GetSendersError()));
    m_options.format.AppendHeader(m_output.GetBuffer());

    using CClock = std::chrono::steady_clock;
    const auto deadline = CClock::now() + std::chrono::milliseconds(m_options.nDurationMs);
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
        pollfd fds[] = {{run.GetDescriptor(), POLLIN, 0}, {CStopSignals::GetDescriptor(), POLLIN, 0}};
        const int nReady = poll(fds, 2, nTimeoutMs);
        if (nReady < 0 && errno != EINTR)
        {
            Say(std::string("poll failed: ") + std::strerror(errno));
            nExit = CWatchOptions::EXIT_CAPTURE_FAILED;
            break;
        }
        if (CStopSignals::IsRaised())
            break;
        const CChannelReader::CNews news = run.Step(nReady > 0 && fds[0].revents != 0);
        if (news.bMissedGrew)
        {
            Say(std::to_string(news.nMissed) + " queries missed since the start: the kernel had to drop them");
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            m_options.format.AppendMissed(m_output.GetBuffer(),
                                          m_lineMaker.FormatTime(now.tv_sec, std::uint32_t(now.tv_nsec)), news.nMissed);
        }
        nExit = FlushOutput();
        if (nExit >= 0 || IsCountReached())
            break;
        // Ctrl+C reaches the helper too, in the same process group: its end is then no failure.
        if (!news.strEnded.empty() && !CStopSignals::IsRaised())
        {
            Say(news.strEnded);
            nExit = CWatchOptions::EXIT_CAPTURE_FAILED;
        }
    }
    run.End(CHelperProcess::EXIT_GRACE_MS);
    return nExit < 0 ? CWatchOptions::EXIT_DONE : nExit;
}

int CWatchLoop::RunFile(bool bSandboxed)
{
    CPcapReader file;
    if (!file.Open(m_options.strFile))
    {
        Say(file.GetErrorText());
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    if (std::string strWhy; bSandboxed && !EnterReadSandbox(&strWhy))
    {
        Say(strWhy);
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    m_options.format.AppendHeader(m_output.GetBuffer());
    CNameRecord record;
    std::string_view text;
    while (!IsCountReached() && !CStopSignals::IsRaised() && file.Next(record, text))
    {
        OnQuery(record, text);
        if (m_output.GetBuffer().size() >= FILE_BATCH_BYTES)
        {
            if (const int nExit = FlushOutput(); nExit >= 0)
                return nExit;
        }
    }
    if (const int nExit = FlushOutput(); nExit >= 0)
        return nExit;
    if (!file.GetErrorText().empty())
    {
        Say(file.GetErrorText());
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    return CWatchOptions::EXIT_DONE;
}
