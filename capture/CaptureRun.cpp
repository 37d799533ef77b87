#include "capture/CaptureRun.h"

#include "capture/CaptureTexts.h"
#include "capture/HelperRights.h"

#include <cerrno>

using namespace Channel;

bool CCaptureRun::Fail(int nError, std::string strText)
{
    m_nError = nError;
    m_strError = std::move(strText);
    return false;
}

bool CCaptureRun::Start(const std::string& strLocalAddress, Wants nWants, const std::string& strResolvers)
{
    End();
    CHelperProcess::CStarted started = CHelperProcess::Start(strLocalAddress.c_str(), nWants, strResolvers);
    if (!started.missing.empty())
        return Fail(ENOENT, CaptureTexts::MissingHelperText(started.missing));
    if (!started.channel.IsOpen())
    {
        std::string strText = CaptureTexts::OpenFailureText(started.opened.nStep, started.opened.nError);
        // The open step's own words say what failed; below them, which helper was tried and why
        // it had no right, with the command that mends it.
        if (!started.refused.empty())
            strText += "\n\n" + ExplainRefusal(started.refused, CHelperProcess::GetHelperCandidates().back());
        return Fail(started.opened.nError, strText);
    }

    m_nReceiveAllError = started.opened.nReceiveAllError;
    m_nSendersError = started.opened.nSendersError;
    m_nLookupsError = WantsLookups(nWants) ? started.opened.nLookupsError : 0;
    m_helper = std::move(started.process);
    m_reader.Open(std::move(started.channel));
    return true;
}

CChannelReader::CNews CCaptureRun::Step(bool bReadable, CClock::time_point now)
{
    return bReadable ? m_reader.Read() : m_reader.CheckSilence(now);
}

void CCaptureRun::End(int nWaitMs)
{
    m_reader.Close();
    if (!m_helper.IsRunning())
        return;
    m_helper.WaitForEnd(nWaitMs);
    if (m_helper.ReapIfEnded())
        return;
    const auto grace = std::chrono::milliseconds(CHelperProcess::EXIT_GRACE_MS - nWaitMs);
    m_ending.push_back({std::move(m_helper), CClock::now() + grace});
}

bool CCaptureRun::ReapEnding(CClock::time_point now)
{
    std::erase_if(m_ending, [now](CEnding& ending) {
        if (ending.process.ReapIfEnded())
            return true;
        if (now < ending.killAt)
            return false;
        ending.process.Kill();
        return true;
    });
    return m_ending.empty();
}

bool CCaptureRun::ShouldGather(const CChannelReader::CNews& news, CClock::time_point now)
{
    if (news.nBytes == 0)
        return false;
    // Twice the spell: the step after one gathered comes a spell after the one before it.
    const bool bKeepsComing = now - m_lastBrought < std::chrono::milliseconds(2 * GATHER_MS);
    m_lastBrought = now;
    return bKeepsComing && news.nBytes < GATHER_BELOW_BYTES;
}
