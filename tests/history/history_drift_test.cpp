// The drift fit recovers known rates; the forecast finds the first pair to reach the threshold.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "history/Drift.h"

namespace sincrovia::history {
namespace {

constexpr int64_t kT0 = 1'765'267'200'000'000;  // 2025-12-09 08:00:00 UTC
constexpr int64_t kMinuteUs = 60'000'000;

/// Offsets every 5 minutes for an hour: start + rate * t, plus a wobble of ±`noiseUs`.
std::vector<OffsetPoint> Line(const std::string& name, double startUs, double ppm, int64_t noiseUs) {
    std::vector<OffsetPoint> points;
    for (int i = 0; i <= 12; ++i) {
        const int64_t t = kT0 + i * 5 * kMinuteUs;
        const double offset =
            startUs + ppm * static_cast<double>(t - kT0) / 1e6 + static_cast<double>((i % 2 ? 1 : -1) * noiseUs);
        points.push_back({name, t, static_cast<int64_t>(offset), std::nullopt});
    }
    return points;
}

TEST(Drift, FitRecoversKnownRates) {
    struct Case {
        const char* legend;
        double ppm;
        int64_t noiseUs;
        double tolerancePpm;
    };
    for (const Case& c : {Case{"steady fast clock", 18, 0, 0.01}, Case{"slow clock", -6, 0, 0.01},
                          Case{"ms-quantised readings", 2000, 500, 1.0}}) {
        SCOPED_TRACE(c.legend);
        const auto fits = FitDrift(Line("PIT IN", 1500, c.ppm, c.noiseUs));
        ASSERT_EQ(fits.size(), 1u);
        EXPECT_NEAR(fits[0].ppm, c.ppm, c.tolerancePpm);
        ASSERT_TRUE(fits[0].ppmError.has_value());
        EXPECT_LE(*fits[0].ppmError, c.noiseUs == 0 ? 1e-6 : 1.0);
        if (c.noiseUs > 0) {
            EXPECT_GT(*fits[0].ppmError, 0);
        }
        EXPECT_EQ(fits[0].points, 13);
    }
    // A single instant gives no rate.
    EXPECT_TRUE(FitDrift({{"T1", kT0, 5, std::nullopt}, {"T1", kT0, 7, std::nullopt}}).empty());
}

TEST(Drift, AReplyHeldUpDoesNotBendTheRate) {
    // Five checks a second apart at +2000 ppm, each reply 25 ms; the last was held up 4 ms more
    // and its offset is 4 ms off. Counted like the others it would tilt the rate by 800 ppm.
    std::vector<OffsetPoint> points;
    for (int i = 0; i < 5; ++i) points.push_back({"PIT IN", kT0 + i * 1'000'000, 2000 * i, 25'000});
    points.back().offsetUs += 4000;
    points.back().roundTripUs = 29'000;
    const auto fits = FitDrift(points);
    ASSERT_EQ(fits.size(), 1u);
    EXPECT_NEAR(fits[0].ppm, 2000, 100);
}

TEST(Drift, ForecastNamesThePairAndTheTime) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::vector<OffsetPoint> points = Line("PIT IN", 10'000, 18, 0);
    for (const auto& p : Line("T1", -2'000, -6, 0)) points.push_back(p);
    for (const auto& p : Line("START", 0, 0, 0)) points.push_back(p);
    const auto fits = FitDrift(points);
    const int64_t now = kT0 + 60 * kMinuteUs;  // gap now: 10000 + 64800 + 2000 + 21600 = 98400 µs
    const int64_t dayEnd = kT0 + 16 * 60 * kMinuteUs;
    struct Case {
        const char* legend;
        double thresholdMs;
        std::string text;
    };
    // 150 ms: (150000 - 98400) / 24 ppm = 2150 s after 09:00 -> 09:35:50.
    for (const Case& c : {Case{"crossing later today", 150,
                               "Spread reaches 150 ms at about 09:35 (PIT IN +18 ppm, T1 \xE2\x88\x92"
                               "6 ppm)"},
                          Case{"already apart", 50,
                               "Spread reaches 50 ms at about 09:00 (PIT IN +18 ppm, T1 \xE2\x88\x92"
                               "6 ppm)"},
                          Case{"not before midnight", 2000, "no crossing today"}}) {
        SCOPED_TRACE(c.legend);
        const SpreadForecast f = ForecastSpread(fits, c.thresholdMs, now, dayEnd);
        EXPECT_EQ(ForecastText(f, c.thresholdMs), c.text);
        if (c.thresholdMs == 150) {
            EXPECT_NEAR(static_cast<double>(f.atUnixUs - now) / 1e6, 2150, 0.5);
        }
    }
    // Clocks that run at the same rate never drift apart.
    EXPECT_FALSE(ForecastSpread(FitDrift(Line("A", 0, 5, 0)), 1, now, dayEnd).crossing);
}

}  // namespace
}  // namespace sincrovia::history
