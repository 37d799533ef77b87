// The capture side of the load runs (bench/load/run-load.sh): a session on the given address feeds
// a list model on a running event loop, as the window does, without painting. At the end (SIGINT,
// SIGTERM, or after the given seconds) it prints the names handed over, the kernel's counters and
// its own CPU time.
//   CaptureLoadTarget ADDRESS [SECONDS]

#include "capture/CaptureSession.h"
#include "ui/NameListModel.h"

#include "common/LoadRun.h"

#include <QCoreApplication>
#include <QObject>

#include <cstdio>

namespace {

class CLoadOwner : public QObject, public CCaptureOwner
{
    Q_OBJECT

public:
    void OnCapturedNames(const CCapturedNames& names) override
    {
        // Counted per name: the model folds repeated names into one row.
        m_nDelivered += names.GetCount();
        for (size_t i = 0; i < names.GetCount(); ++i)
            m_model.AddName(names.GetName(i).data(), names.GetName(i).size(), names.GetTime(i));
    }
    void OnQueriesMissed(std::uint64_t nMissed) override { m_nMissed = nMissed; }
    void OnCaptureFailed() override { ++m_nFailures; }

    unsigned long m_nDelivered = 0;
    unsigned long m_nFailures = 0;
    std::uint64_t m_nMissed = 0;
    CNameListModel m_model;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s ADDRESS [SECONDS]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);

    CLoadOwner owner;
    CCaptureSession session;
    session.SetOwner(&owner, argv[1]);
    if (!session.Start())
    {
        std::fprintf(stderr, "%s\n", session.GetErrorText().c_str());
        return 1;
    }
    std::printf("capturing on %s\n", argv[1]);
    std::fflush(stdout);

    LoadRun::RunUntilQuit(argc, argv, 2);

    session.Stop();
    LoadRun::WaitForCaptureHelper();
    if (owner.m_nFailures)
        std::printf("failures %lu\n", owner.m_nFailures);
    LoadRun::PrintFigures(owner.m_nDelivered, owner.m_model.rowCount(), owner.m_nMissed);
    return 0;
}

#include "CaptureLoadTarget.moc"
