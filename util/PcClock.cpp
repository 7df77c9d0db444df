// The platform-free half of the PC clock probe: step detection over clock pairs and the texts.
#include "util/PcClock.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace sincrovia {

namespace {

constexpr int64_t kUsPerMs = 1000;
constexpr int64_t kUsPerSecond = 1'000'000;
constexpr char kStepTimePattern[] = "hh:nn:ss";

/// "+1.204 s" / "-0.012 s": the size to the millisecond, with its sign.
std::string SignedSeconds(int64_t us) {
    const int64_t ms = (std::llabs(us) + kUsPerMs / 2) / kUsPerMs;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%c%" PRId64 ".%03" PRId64 " s", us < 0 ? '-' : '+', ms / 1000, ms % 1000);
    return buffer;
}

std::string StepTime(const ClockStep& step) {
    return FormatDateTime(kStepTimePattern, UnixMsToDateTime(FloorDiv(step.atWallUnixUs, kUsPerMs)));
}

}  // namespace

std::optional<ClockStep> ClockStepDetector::Feed(const ClockPair& pair) {
    const int64_t difference = pair.wallUnixUs - pair.monotonicUs;
    const bool first = !primed_;
    const int64_t jump = difference - lastDifferenceUs_;
    primed_ = true;
    lastDifferenceUs_ = difference;
    if (first || std::llabs(jump) <= thresholdUs_) return std::nullopt;
    return ClockStep{jump, pair.wallUnixUs};
}

std::string ClockStepText(const ClockStep& step) {
    return "PC clock stepped " + SignedSeconds(step.sizeUs) + " at " + StepTime(step);
}

std::string PcClockLine(const PcClockStatus& status, const std::optional<ClockStep>& lastStep, int64_t nowUnixUs) {
    if (lastStep && nowUnixUs - lastStep->atWallUnixUs < kRecentStepUs)
        return "PC clock: stepped " + SignedSeconds(lastStep->sizeUs) + " at " + StepTime(*lastStep);
    switch (status.sync) {
    case PcClockSync::NotSynchronised: return "PC clock: not synchronised";
    case PcClockSync::Unknown: return "PC clock: status unknown";
    case PcClockSync::Synchronised: break;
    }
    if (status.estimatedErrorUs < 0) return "PC clock: synchronised";
    // Rounded up: an error of 0.2 ms is shown as ±1 ms, never as ±0 ms.
    const int64_t ms = (status.estimatedErrorUs + kUsPerMs - 1) / kUsPerMs;
    return "PC clock: synchronised, error \xC2\xB1" + std::to_string(ms < 1 ? 1 : ms) + " ms";
}

}  // namespace sincrovia
