#pragma once

#include <compare>
#include <cstdint>

// A frame's kernel time as its record carries it. Frames may be dated up to the end of year 9999,
// whose nanoseconds since the epoch fit no 64-bit integer: times are compared and subtracted as
// seconds and nanoseconds, never multiplied out.
struct CFrameTime
{
    std::int64_t nSeconds = 0;
    std::uint32_t nNanoseconds = 0; // below 1e9

    auto operator<=>(const CFrameTime&) const = default;

    template <class TRecord>
    static CFrameTime Of(const TRecord& record)
    {
        return {record.nSeconds, record.nNanoseconds};
    }

    CFrameTime After(std::uint64_t nNs) const
    {
        const std::uint64_t nNanoseconds64 = nNanoseconds + nNs % 1'000'000'000u;
        return {nSeconds + std::int64_t(nNs / 1'000'000'000u) + std::int64_t(nNanoseconds64 / 1'000'000'000u),
                std::uint32_t(nNanoseconds64 % 1'000'000'000u)};
    }
};

// Whole microseconds from one time to a later one (0 when it is not later).
inline std::uint64_t MicrosecondsBetween(CFrameTime from, CFrameTime to)
{
    if (to <= from)
        return 0;
    std::int64_t nSeconds = to.nSeconds - from.nSeconds;
    std::int64_t nNanoseconds = std::int64_t(to.nNanoseconds) - std::int64_t(from.nNanoseconds);
    if (nNanoseconds < 0)
    {
        --nSeconds;
        nNanoseconds += 1'000'000'000;
    }
    return std::uint64_t(nSeconds) * 1'000'000u + std::uint64_t(nNanoseconds) / 1000u;
}
