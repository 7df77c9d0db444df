// What the program knows about the PC clock it copies into the decoders: whether a time
// service keeps it synchronised and how far off it may be (asked of the system, per platform),
// and whether it was stepped (found by comparing the wall clock with the monotonic clock once
// a second: the two move together unless someone sets the wall clock). Nothing here knows about
// the toolkit; the window turns the answers into its "PC clock:" line and memo lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/DateTime.h"

namespace sincrovia {

/// Whether a time service keeps the PC clock synchronised.
enum class PcClockSync {
    Unknown,          ///< the system does not say
    Synchronised,     ///< a time service disciplines the clock
    NotSynchronised,  ///< the clock runs free (or the service reports an error)
};

/// The system's own account of the PC clock.
struct PcClockStatus {
    PcClockSync sync = PcClockSync::Unknown;  ///< synchronised or not
    int64_t estimatedErrorUs = -1;            ///< the service's error estimate, -1 unknown
    int64_t maximumErrorUs = -1;              ///< the service's error bound, -1 unknown
};

/// Asks the system about the PC clock (adjtimex on Linux; Windows says little: Unknown).
/// Cheap enough to call once a second; never fails, an unanswered question is Unknown.
PcClockStatus ReadPcClockStatus();

/// The wall clock and the monotonic clock read back to back, both in microseconds.
struct ClockPair {
    int64_t wallUnixUs = 0;   ///< wall clock, Unix microseconds (UTC)
    int64_t monotonicUs = 0;  ///< monotonic clock, from an arbitrary origin
};

/// Reads the two clocks of the platform back to back.
ClockPair ReadClockPair();

/// A jump of the wall clock against the monotonic clock.
struct ClockStep {
    int64_t sizeUs = 0;        ///< how far the wall clock jumped (positive: forward)
    int64_t atWallUnixUs = 0;  ///< wall clock right after the jump, Unix microseconds
};

/// Smallest jump between two looks that counts as a step. A time service slews by at most
/// 500 ppm, half a millisecond per second; a step is a setting of the clock.
inline constexpr int64_t kClockStepThresholdUs = 5000;

/// Finds steps in a series of clock pairs taken about once a second: the difference between
/// the wall and the monotonic clock is compared with the previous look's. A slew moves that
/// difference a little at each look and never counts, however far it goes in total.
class ClockStepDetector {
public:
    /// A detector for jumps larger than `thresholdUs`.
    explicit ClockStepDetector(int64_t thresholdUs = kClockStepThresholdUs) : thresholdUs_(thresholdUs) {}
    /// Takes one look; returns the step when the wall clock jumped since the previous look.
    std::optional<ClockStep> Feed(const ClockPair& pair);

private:
    int64_t thresholdUs_;
    bool primed_ = false;
    int64_t lastDifferenceUs_ = 0;
};

/// How long after a step the clock counts as "just stepped": a synchronisation then asks first.
inline constexpr int64_t kRecentStepUs = 60'000'000;

/// The window's line about the PC clock: "PC clock: synchronised, error ±2 ms", "PC clock: not
/// synchronised", "PC clock: status unknown", or, while `lastStep` is recent (see kRecentStepUs
/// against `nowUnixUs`), "PC clock: stepped +1.204 s at 14:03:11" (local time of the step).
std::string PcClockLine(const PcClockStatus& status, const std::optional<ClockStep>& lastStep, int64_t nowUnixUs);

/// The memo text for a step: "PC clock stepped +1.204 s at 14:03:11".
std::string ClockStepText(const ClockStep& step);

}  // namespace sincrovia
