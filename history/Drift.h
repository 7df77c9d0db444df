// How fast each decoder's clock walks away from the PC's, and when the spread between the
// decoders will reach the threshold if they keep walking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

namespace sincrovia::history {

/// A decoder's drift rate: least squares of its offset over time, each reading weighted by
/// how far off it can be (see FitDrift).
struct DriftFit {
    std::string decoder;             ///< decoder name
    int points = 0;                  ///< readings fitted
    double ppm = 0;                  ///< rate: µs of offset gained per second (+ runs fast)
    std::optional<double> ppmError;  ///< standard error of the rate; none below three points
    double offsetUsAtLast = 0;       ///< the fitted offset at the last reading
    int64_t lastUnixUs = 0;          ///< instant of the last reading
};

/// Fits every decoder with at least two readings at two different instants, in the order the
/// decoders first appear in `points`. A reply held up on the way (a busy PC, a USB adapter
/// holding bytes) makes its round trip longer than the decoder's shortest one, and its offset
/// can be off by that much more: each reading weighs the inverse of (half the decoder's
/// millisecond)² + excess², so one such reading does not bend the rate. A reading without a
/// round trip counts as the shortest.
std::vector<DriftFit> FitDrift(const std::vector<OffsetPoint>& points);

/// When the spread between the decoders first reaches the threshold.
struct SpreadForecast {
    bool crossing = false;  ///< the spread reaches the threshold before the day ends
    int64_t atUnixUs = 0;   ///< when (crossing only)
    std::string ahead;      ///< the decoder that runs ahead at the crossing
    std::string behind;     ///< the decoder that falls behind
    double aheadPpm = 0;    ///< their rates
    double behindPpm = 0;
};

/// Extrapolates every fit from `nowUnixUs` and finds the first instant before `dayEndUnixUs`
/// at which two decoders are `thresholdMs` apart (now, when they already are).
SpreadForecast ForecastSpread(const std::vector<DriftFit>& fits, double thresholdMs, int64_t nowUnixUs,
                              int64_t dayEndUnixUs);

/// "Spread reaches 50 ms at about 16:40 (PIT IN +18 ppm, T1 −6 ppm)" (local time), or
/// "no crossing today".
std::string ForecastText(const SpreadForecast& forecast, double thresholdMs);

/// A rate as shown: "+18 ppm", "−6 ppm" (a true minus sign), "0 ppm".
std::string PpmText(double ppm);

}  // namespace sincrovia::history
