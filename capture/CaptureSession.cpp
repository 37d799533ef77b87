#include "capture/CaptureSession.h"

#include "capture/CaptureTexts.h"

#include <cerrno>

using namespace Channel;

namespace {

// How often a helper told to end is looked for; it usually has gone by the first look.
constexpr int REAP_PERIOD_MS = 20;

} // namespace

CCaptureSession::CCaptureSession()
{
    m_channelNotifier.setEnabled(false);
    QObject::connect(&m_channelNotifier, &QSocketNotifier::activated, &m_channelNotifier,
                     [this] { OnChannelReadable(); });
    m_heartbeat.setInterval(int(HEARTBEAT_MS));
    QObject::connect(&m_heartbeat, &QTimer::timeout, &m_heartbeat, [this] { OnHeartbeat(); });
    m_reaper.setInterval(REAP_PERIOD_MS);
    QObject::connect(&m_reaper, &QTimer::timeout, &m_reaper, [this] { ReapEndingHelpers(); });
}

CCaptureSession::~CCaptureSession()
{
    Stop();
    // Whatever has not ended by now is killed and reaped by its own end.
    m_ending.clear();
}

bool CCaptureSession::SetOwner(QObject* pObject, CCaptureOwner* pOwner, const std::string& strLocalAddress)
{
    if (pObject == nullptr || pOwner == nullptr)
        return false;
    m_pOwnerObject = pObject;
    m_pOwner = pOwner;
    m_strLocalAddress = strLocalAddress;
    return true;
}

bool CCaptureSession::Start()
{
    // One helper per session: a running capture ends first.
    Stop();

    CHelperProcess::CStarted started = CHelperProcess::Start(m_strLocalAddress.c_str());
    if (!started.missing.empty())
    {
        m_nStartError = ENOENT;
        m_strError = CaptureTexts::MissingHelperText(started.missing);
        return false;
    }
    if (!started.channel.IsOpen())
    {
        m_nStartError = started.opened.nError;
        m_strError = CaptureTexts::OpenFailureText(started.opened.nStep, started.opened.nError);
        return false;
    }
    if (started.opened.nReceiveAllError != 0)
        m_strError = CaptureTexts::FormatText(CaptureTexts::RECEIVE_ALL_FAILED_FORMAT, started.opened.nReceiveAllError);

    m_helper = std::move(started.process);
    m_reader.Open(std::move(started.channel));
    m_channelNotifier.setSocket(m_reader.GetDescriptor());
    m_channelNotifier.setEnabled(true);
    m_heartbeat.start();
    ++m_nRun;
    return true;
}

void CCaptureSession::Stop()
{
    ++m_nRun;
    EndCapture();
}

void CCaptureSession::EndCapture()
{
    m_heartbeat.stop();
    // Off before the descriptor goes, so the loop never watches a closed one.
    m_channelNotifier.setEnabled(false);
    m_reader.Close();
    if (!m_helper.IsRunning() || m_helper.ReapIfEnded())
        return;
    m_ending.push_back({std::move(m_helper),
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(CHelperProcess::EXIT_GRACE_MS)});
    m_reaper.start();
}

void CCaptureSession::ReapEndingHelpers()
{
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(m_ending, [now](CEnding& ending) {
        if (ending.process.ReapIfEnded())
            return true;
        if (now < ending.killAt)
            return false;
        ending.process.Kill();
        return true;
    });
    if (m_ending.empty())
        m_reaper.stop();
}

void CCaptureSession::OnChannelReadable()
{
    // Off while the owner is told: a nested event loop in its handler must not read the channel
    // again underneath this step.
    m_channelNotifier.setEnabled(false);
    Tell(m_reader.Read());
}

void CCaptureSession::OnHeartbeat()
{
    m_channelNotifier.setEnabled(false);
    Tell(m_reader.CheckSilence(std::chrono::steady_clock::now()));
}

void CCaptureSession::Tell(const CChannelReader::CNews& news)
{
    const unsigned nRun = m_nRun;
    if (m_pOwnerObject.isNull())
    {
        // The owner went without stopping the capture: nobody is left to tell.
        Stop();
        return;
    }
    // Each call may stop the capture (a handler may press "Stop"), or start another: what follows
    // is then dropped.
    if (!news.names.IsEmpty())
        m_pOwner->OnCapturedNames(news.names);
    if (nRun == m_nRun && news.bMissedGrew)
        m_pOwner->OnQueriesMissed(news.nMissed);
    if (nRun != m_nRun)
        return;
    if (news.strEnded.empty())
    {
        m_channelNotifier.setEnabled(true);
        return;
    }
    ++m_nRun;
    EndCapture();
    m_strError = news.strEnded;
    m_pOwner->OnCaptureFailed();
}
