// A decoder's clock: a quartz that started at some offset from the PC clock and runs fast or
// slow by a fixed rate. Times are microseconds on the Unix time scale (the scale of
// CLOCK_REALTIME); a decoder "reading" on that scale shows, as local calendar time, the
// date and time the decoder believes.
#pragma once

#include <cstdint>
#include <optional>

namespace sincrovia::sim {

/// Local calendar fields of a reading.
struct ClockFields {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

/// Offset-and-drift clock model.
class DecoderClock {
public:
    /// A clock that at PC time `startUs` reads `startUs + offsetMs`, then gains `driftPpm`.
    DecoderClock(int64_t startUs, int64_t offsetMs, double driftPpm);

    /// What the clock reads at PC time `pcUs`.
    int64_t ReadingAt(int64_t pcUs) const;

    /// Sets the clock so that at PC time `pcUs` it reads `readingUs`; the drift stays.
    void SetAt(int64_t pcUs, int64_t readingUs);

    /// From PC time `pcUs` on the clock reads the PC time exactly (offset and drift 0).
    void FollowTrueTime(int64_t pcUs);

    /// Current rate error in parts per million.
    double DriftPpm() const { return driftPpm_; }

private:
    int64_t anchorPcUs_;
    int64_t anchorReadingUs_;
    double driftPpm_;
};

/// The PC clock now, microseconds of Unix time.
int64_t PcNowUs();

/// Local calendar fields of a Unix-time value in microseconds.
ClockFields LocalFields(int64_t unixUs);

/// Unix time in microseconds of the local calendar second given, or nothing when the fields
/// do not form a valid date and time.
std::optional<int64_t> LocalSecondToUnixUs(int year, int month, int day, int hour, int minute, int second);

}  // namespace sincrovia::sim
