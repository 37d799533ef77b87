#include "watch/RightsCheck.h"

#include "capture/CaptureRun.h"

#include <cstring>
#include <unistd.h>

namespace {

// The check reads nothing of what the capture sees.
class CNoSink final : public CChannelReader::CSink
{};

} // namespace

bool CRightsCheck::Run()
{
    CNoSink sink;
    CCaptureRun run(sink);
    const bool bCaptures = run.Start("127.0.0.1", Channel::WANTS_QUERIES);
    m_strText = "capture: ";
    m_strText += bCaptures ? "yes\n" : "no: " + run.GetErrorText() + "\n";
    m_strText += "naming programs: ";
    if (!bCaptures)
        m_strText += "unknown (no capture)\n";
    else if (run.GetSendersError() != 0)
        m_strText += std::string("no: ") + std::strerror(run.GetSendersError()) + "\n";
    else
        m_strText += "yes\n";
    const bool bBtf = access("/sys/kernel/btf/vmlinux", R_OK) == 0;
    m_strText += std::string("BTF: ")
                 + (bBtf ? "yes (/sys/kernel/btf/vmlinux)" : "no: /sys/kernel/btf/vmlinux cannot be read") + "\n";
    run.End(CHelperProcess::EXIT_GRACE_MS);
    return bCaptures;
}
