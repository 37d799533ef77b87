#include "watch/WatchLoop.h"

#include "capture/CaptureTexts.h"
#include "capture/LocalAddresses.h"
#include "watch/PcapReader.h"
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

void CWatchLoop::OnName(const CNameRecord& name, std::string_view text)
{
    if (IsCountReached() || (m_options.bNewOnly && !m_newNames.IsFirstSighting(text)))
        return;
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

    CHelperProcess::CStarted started = CHelperProcess::Start(strAddress.c_str());
    if (!started.channel.IsOpen())
    {
        Say(started.missing.empty() ? CaptureTexts::OpenFailureText(started.opened.nStep, started.opened.nError)
                                    : CaptureTexts::MissingHelperText(started.missing));
        return CWatchOptions::EXIT_CAPTURE_FAILED;
    }
    CHelperProcess helper = std::move(started.process);
    if (started.opened.nReceiveAllError != 0)
    {
        std::string strText =
            CaptureTexts::FormatText(CaptureTexts::RECEIVE_ALL_FAILED_FORMAT, started.opened.nReceiveAllError);
        while (!strText.empty() && strText.back() == '\n')
            strText.pop_back();
        Say(strText + " (the capture runs without promiscuous mode)");
    }
    if (started.opened.nAttributionError != 0)
        Say(std::string("programs are not named: ") + std::strerror(started.opened.nAttributionError));

    CChannelReader reader;
    reader.Open(std::move(started.channel));
    reader.SetNameListener(this);
    m_options.format.AppendHeader(m_output.GetBuffer());

    using CClock = std::chrono::steady_clock;
    const auto deadline = CClock::now() + std::chrono::milliseconds(m_options.nDurationMs);
    int nExit = FlushOutput();
    while (nExit < 0 && !CStopSignals::IsRaised())
    {
        int nTimeoutMs = int(HEARTBEAT_MS);
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
        pollfd fds[] = {{reader.GetDescriptor(), POLLIN, 0}, {CStopSignals::GetDescriptor(), POLLIN, 0}};
        const int nReady = poll(fds, 2, nTimeoutMs);
        if (nReady < 0 && errno != EINTR)
        {
            Say(std::string("poll failed: ") + std::strerror(errno));
            nExit = CWatchOptions::EXIT_CAPTURE_FAILED;
            break;
        }
        if (CStopSignals::IsRaised())
            break;
        const CChannelReader::CNews news =
            nReady > 0 && fds[0].revents != 0 ? reader.Read() : reader.CheckSilence(CClock::now());
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
    reader.Close();
    helper.End(CHelperProcess::EXIT_GRACE_MS);
    return nExit < 0 ? CWatchOptions::EXIT_DONE : nExit;
}

int CWatchLoop::RunFile()
{
    CPcapReader file;
    if (!file.Open(m_options.strFile))
    {
        Say(file.GetErrorText());
        return CWatchOptions::EXIT_FILE_FAILED;
    }
    m_options.format.AppendHeader(m_output.GetBuffer());
    CNameRecord record;
    std::string_view text;
    while (!IsCountReached() && !CStopSignals::IsRaised() && file.Next(record, text))
    {
        OnName(record, text);
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
