// The PC clock probe on Linux: the kernel's time-keeping state (adjtimex, read only) and the
// realtime/monotonic clock pair.
#include <sys/timex.h>
#include <time.h>

#include "util/PcClock.h"

namespace sincrovia {

namespace {

constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kNsPerUs = 1000;

int64_t ToUs(const timespec& t) { return int64_t{t.tv_sec} * kUsPerSecond + t.tv_nsec / kNsPerUs; }

}  // namespace

PcClockStatus ReadPcClockStatus() {
    timex tx{};  // modes 0: only reads
    const int state = adjtimex(&tx);
    PcClockStatus status;
    if (state < 0) return status;
    // The kernel reports TIME_ERROR and sets STA_UNSYNC until a time service has disciplined it.
    const bool unsynchronised = state == TIME_ERROR || (tx.status & STA_UNSYNC) != 0;
    status.sync = unsynchronised ? PcClockSync::NotSynchronised : PcClockSync::Synchronised;
    status.estimatedErrorUs = tx.esterror;
    status.maximumErrorUs = tx.maxerror;
    return status;
}

ClockPair ReadClockPair() {
    timespec wall{}, mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &wall);
    return {ToUs(wall), ToUs(mono)};
}

}  // namespace sincrovia
