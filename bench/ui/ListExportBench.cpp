// Saving a list of a million names: the time Write takes on the window's thread, and how far the
// process's peak resident memory rises above where it stood before the save.
#include "ui/ListExport.h"
#include "ui/NameListModel.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include "common/ProcStatus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

// Starts the peak (VmHWM) afresh from the current resident size.
bool ResetPeak()
{
    FILE* pFile = std::fopen("/proc/self/clear_refs", "w");
    if (pFile == nullptr)
        return false;
    const bool bDone = std::fputs("5", pFile) >= 0;
    return std::fclose(pFile) == 0 && bDone;
}

// Names of the length and shape a browsing machine asks for, 17 to 40 bytes.
std::unique_ptr<CNameListModel> MakeList(int nCount)
{
    static const char* const s_apszZones[] = {"example.com", "cdn.example.net", "static.example.org",
                                              "tracking.analytics.example.co.uk"};
    auto pList = std::make_unique<CNameListModel>();
    char szName[64];
    for (int i = 0; i < nCount; ++i)
    {
        const int nLength = std::snprintf(szName, sizeof(szName), "host%d.%s", i, s_apszZones[i % 4]);
        pList->AddName(szName, size_t(nLength), std::time(nullptr));
    }
    return pList;
}

// Runs pfnWork once per iteration and reports the largest rise of the peak resident size over the
// resident size before it. False when the work failed (the state then says why).
template <class F>
bool MeasurePeakGrowth(benchmark::State& state, F&& pfnWork)
{
    double dPeakGrowth = 0.0;
    for (auto _ : state)
    {
        const double dBefore = ProcStatusMiB("VmRSS");
        if (!ResetPeak())
        {
            state.SkipWithError("cannot reset the peak resident size");
            return false;
        }
        if (!pfnWork())
            return false;
        dPeakGrowth = std::max(dPeakGrowth, ProcStatusMiB("VmHWM") - dBefore);
    }
    state.counters["peak_growth_MiB"] = dPeakGrowth;
    return true;
}

void BM_SaveMillionNames(benchmark::State& state)
{
    const auto pList = MakeList(1000000);
    QTemporaryDir dir;
    const QString strPath = dir.filePath(QStringLiteral("capture.txt"));
    MeasurePeakGrowth(state, [&] {
        CListExport listExport;
        if (listExport.Write(strPath, *pList))
            return true;
        state.SkipWithError(qPrintable(listExport.GetErrorText()));
        return false;
    });
    state.counters["rows"] = pList->rowCount();
    state.counters["file_MiB"] = QFileInfo(strPath).size() / 1048576.0;
}
BENCHMARK(BM_SaveMillionNames)->Iterations(5)->Unit(benchmark::kMillisecond);

// The save as first written, for comparison: the whole text built in memory before one write.
void BM_FormatWholeTextBaseline(benchmark::State& state)
{
    const auto pList = MakeList(1000000);
    MeasurePeakGrowth(state, [&] {
        benchmark::DoNotOptimize(CListExport::FormatText(*pList).size());
        return true;
    });
}
BENCHMARK(BM_FormatWholeTextBaseline)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
