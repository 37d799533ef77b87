#include "capture/CaptureSession.h"

#include "capture/CaptureTexts.h"

using namespace Channel;

namespace {

// How often a helper told to end is looked for; it usually has gone by the first look.
constexpr int REAP_PERIOD_MS = 20;

} // namespace

CCaptureSession::CCaptureSession()
{
    m_channelNotifier.setEnabled(false);
    QObject::connect(&m_channelNotifier, &QSocketNotifier::activated, &m_channelNotifier, [this] { OnStep(true); });
    m_heartbeat.setInterval(CCaptureRun::HEARTBEAT_MS);
    QObject::connect(&m_heartbeat, &QTimer::timeout, &m_heartbeat, [this] { OnStep(false); });
    m_gather.setSingleShot(true);
    m_gather.setInterval(CCaptureRun::GATHER_MS);
    QObject::connect(&m_gather, &QTimer::timeout, &m_gather, [this] { m_channelNotifier.setEnabled(true); });
    m_reaper.setInterval(REAP_PERIOD_MS);
    QObject::connect(&m_reaper, &QTimer::timeout, &m_reaper, [this] {
        if (m_run.ReapEnding())
            m_reaper.stop();
    });
}

CCaptureSession::~CCaptureSession()
{
    Stop();
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
    // The window shows a name and the time it was first seen, and asks for nothing more.
    if (!m_run.Start(m_strLocalAddress, WANTS_NAMES))
    {
        m_nStartError = m_run.GetErrorNumber();
        m_strError = m_run.GetErrorText();
        return false;
    }
    if (m_run.GetReceiveAllError() != 0)
        m_strError = CaptureTexts::FormatText(CaptureTexts::RECEIVE_ALL_FAILED_FORMAT, m_run.GetReceiveAllError());

    m_channelNotifier.setSocket(m_run.GetDescriptor());
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
    m_gather.stop();
    // Off before the descriptor goes, so the loop never watches a closed one.
    m_channelNotifier.setEnabled(false);
    m_names.Clear();
    m_run.End();
    if (!m_run.ReapEnding())
        m_reaper.start();
}

void CCaptureSession::OnName(std::int64_t nSeconds, std::string_view name)
{
    m_names.Add(name, static_cast<std::time_t>(nSeconds));
}

void CCaptureSession::OnStep(bool bReadable)
{
    // Off while the owner is told: a nested event loop in its handler must not read the channel
    // again underneath this step.
    m_channelNotifier.setEnabled(false);
    m_gather.stop();
    m_names.Clear();
    Tell(m_run.Step(bReadable));
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
    if (!m_names.IsEmpty())
        m_pOwner->OnCapturedNames(m_names);
    if (nRun == m_nRun && news.bMissedGrew)
        m_pOwner->OnQueriesMissed(news.nMissed);
    if (nRun != m_nRun)
        return;
    if (news.strEnded.empty())
    {
        if (m_run.ShouldGather(news))
            m_gather.start();
        else
            m_channelNotifier.setEnabled(true);
        return;
    }
    ++m_nRun;
    EndCapture();
    m_strError = news.strEnded;
    m_pOwner->OnCaptureFailed();
}
