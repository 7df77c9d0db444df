// The PC clock probe on Windows: the system does not cheaply say whether the time service has
// the clock in hand, so the status is Unknown; steps are found from the precise system time
// against the performance counter.
#include <windows.h>

#include "util/PcClock.h"

namespace sincrovia {

namespace {

// FILETIME counts 100 ns units from 1601-01-01; the Unix epoch is this many units later.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;
constexpr int64_t kFileTimeUnitsPerUs = 10;
constexpr int64_t kUsPerSecond = 1'000'000;

}  // namespace

PcClockStatus ReadPcClockStatus() { return {}; }

ClockPair ReadClockPair() {
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    const int64_t units = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const int64_t seconds = counter.QuadPart / frequency.QuadPart;
    const int64_t rest = counter.QuadPart % frequency.QuadPart;
    return {(units - kFileTimeUnixEpoch) / kFileTimeUnitsPerUs,
            seconds * kUsPerSecond + rest * kUsPerSecond / frequency.QuadPart};
}

}  // namespace sincrovia
