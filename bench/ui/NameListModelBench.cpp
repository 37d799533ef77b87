#include "ui/NameListModel.h"

#include <benchmark/benchmark.h>

#include "common/ProcStatus.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

// Distinct names of 25 bytes ("n0000000.edge.example.net"), counted up in place so that making
// the next name costs next to nothing inside the timed loop.
class CNameCounter
{
public:
    explicit CNameCounter(uint32_t nStart = 0) { Reset(nStart); }

    void Reset(uint32_t nStart)
    {
        std::snprintf(m_szName, sizeof(m_szName), "n%07u.edge.example.net", static_cast<unsigned>(nStart));
    }

    const char* Next()
    {
        for (int i = 7; i >= 1; --i)
        {
            if (++m_szName[i] <= '9')
                break;
            m_szName[i] = '0';
        }
        return m_szName;
    }

    const char* Current() const { return m_szName; }
    static constexpr size_t LENGTH = 25;

private:
    char m_szName[32];
};

// The list as first designed: every arrival compares itself against every row, a row matching
// when it begins with the new name ignoring case, and the time is kept as formatted text.
class CScanningList
{
public:
    bool AddName(const char* pszName)
    {
        const size_t nLength = std::strlen(pszName);
        for (size_t nIndex = m_vecEnds.size(); nIndex-- > 0;)
        {
            const size_t nBegin = nIndex == 0 ? 0 : m_vecEnds[nIndex - 1];
            if (m_vecEnds[nIndex] - nBegin >= nLength && strncasecmp(m_strArena.data() + nBegin, pszName, nLength) == 0)
                return false;
        }
        AppendUnchecked(pszName, nLength);
        return true;
    }

    void AppendUnchecked(const char* pszName, size_t nLength)
    {
        m_strArena.append(pszName, nLength);
        m_vecEnds.push_back(m_strArena.size());
        const QByteArray baTime = CRowTimes::Format(std::time(nullptr));
        std::array<char, 32> achTime {};
        std::memcpy(achTime.data(), baTime.constData(), std::min<size_t>(baTime.size(), achTime.size() - 1));
        m_vecTimes.push_back(achTime);
    }

    size_t Count() const { return m_vecEnds.size(); }

private:
    std::string m_strArena;
    std::vector<size_t> m_vecEnds;
    std::vector<std::array<char, 32>> m_vecTimes;
};

void ReportMemory(benchmark::State& state)
{
    state.counters["VmRSS_MiB"] = ProcStatusMiB("VmRSS");
    state.counters["VmHWM_MiB"] = ProcStatusMiB("VmHWM");
}

void FillModel(CNameListModel& model, uint32_t nCount)
{
    CNameCounter counter;
    model.AddName(counter.Current(), CNameCounter::LENGTH, std::time(nullptr));
    for (uint32_t i = 1; i < nCount; ++i)
        model.AddName(counter.Next(), CNameCounter::LENGTH, std::time(nullptr));
}

// Per-insert cost of a new name into a list that already holds `range(0)` names. The list may grow
// by a tenth before it is rebuilt, off the clock, so the size stays near the one named.
void BM_AddNewName(benchmark::State& state)
{
    const auto nSize = static_cast<uint32_t>(state.range(0));
    const uint32_t nGrowth = nSize / 10;
    auto pModel = std::make_unique<CNameListModel>();
    FillModel(*pModel, nSize);
    CNameCounter counter(nSize - 1);
    uint32_t nAdded = 0;
    for (auto _ : state)
    {
        if (nAdded == nGrowth)
        {
            state.PauseTiming();
            pModel->Clear();
            FillModel(*pModel, nSize);
            counter.Reset(nSize - 1);
            nAdded = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(pModel->AddName(counter.Next(), CNameCounter::LENGTH, std::time(nullptr)));
        ++nAdded;
    }
    state.counters["rows"] = static_cast<double>(pModel->rowCount());
    ReportMemory(state);
}
BENCHMARK(BM_AddNewName)->Arg(1000)->Arg(100000)->Arg(1000000);

std::unique_ptr<CScanningList> BuildScanningList(uint32_t nCount)
{
    auto pList = std::make_unique<CScanningList>();
    CNameCounter counter;
    pList->AppendUnchecked(counter.Current(), CNameCounter::LENGTH);
    for (uint32_t i = 1; i < nCount; ++i)
        pList->AppendUnchecked(counter.Next(), CNameCounter::LENGTH);
    return pList;
}

void BM_AddNewNameScanningBaseline(benchmark::State& state)
{
    const auto nSize = static_cast<uint32_t>(state.range(0));
    const uint32_t nGrowth = nSize / 10;
    auto pList = BuildScanningList(nSize);
    CNameCounter counter(nSize - 1);
    uint32_t nAdded = 0;
    for (auto _ : state)
    {
        if (nAdded == nGrowth)
        {
            state.PauseTiming();
            pList.reset();
            pList = BuildScanningList(nSize);
            counter.Reset(nSize - 1);
            nAdded = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(pList->AddName(counter.Next()));
        ++nAdded;
    }
    state.counters["rows"] = static_cast<double>(pList->Count());
    ReportMemory(state);
}
BENCHMARK(BM_AddNewNameScanningBaseline)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// A name already listed, arriving again in another case: the common case under steady traffic.
void BM_DropRepeatedName(benchmark::State& state)
{
    const auto nSize = static_cast<uint32_t>(state.range(0));
    auto pModel = std::make_unique<CNameListModel>();
    FillModel(*pModel, nSize);
    std::vector<std::string> vecRepeats;
    CNameCounter counter;
    for (uint32_t i = 0; i < nSize; i += nSize / 64)
    {
        counter.Reset(i);
        std::string strName = counter.Current();
        strName[0] = 'N';
        strName.replace(9, 4, "EDGE");
        vecRepeats.push_back(strName);
    }
    size_t nNext = 0;
    for (auto _ : state)
    {
        const std::string& strRepeat = vecRepeats[nNext];
        benchmark::DoNotOptimize(pModel->AddName(strRepeat.data(), strRepeat.size(), std::time(nullptr)));
        nNext = (nNext + 1) % vecRepeats.size();
    }
    if (pModel->rowCount() != static_cast<int>(nSize))
        state.SkipWithError("a repeated name was listed");
}
BENCHMARK(BM_DropRepeatedName)->Arg(1000)->Arg(1000000);

// Filling from empty: the per-insert figure includes every regrowth of the storage and the index.
void BM_FillFromEmpty(benchmark::State& state)
{
    const auto nSize = static_cast<uint32_t>(state.range(0));
    for (auto _ : state)
    {
        auto pModel = std::make_unique<CNameListModel>();
        FillModel(*pModel, nSize);
        benchmark::DoNotOptimize(pModel->rowCount());
    }
    state.counters["per_insert"] = benchmark::Counter(
        static_cast<double>(nSize), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FillFromEmpty)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// What a list of a million 25-byte names costs to hold: the growth of resident memory while it is
// built, and the process's peak so far.
void BM_HoldMillionNames(benchmark::State& state)
{
    for (auto _ : state)
    {
        const double dBefore = ProcStatusMiB("VmRSS");
        auto pModel = std::make_unique<CNameListModel>();
        FillModel(*pModel, 1000000);
        state.counters["model_MiB"] = ProcStatusMiB("VmRSS") - dBefore;
        ReportMemory(state);
    }
}
BENCHMARK(BM_HoldMillionNames)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
