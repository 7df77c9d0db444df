// The PC clock probe over scripted clocks: which series of looks hold a step, and the
// window's line for each state.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "util/PcClock.h"

namespace sincrovia {
namespace {

constexpr int64_t kSecondUs = 1'000'000;

struct StepCase {
    const char* legend;
    std::vector<int64_t> wallMinusMonoUs;  // one entry per look, a second apart
    std::vector<int64_t> expectedStepsUs;  // sizes of the steps found, in order
};

TEST(PcClockTest, StepsAreFoundOnceAndSlewsNever) {
    const std::vector<StepCase> cases = {
        {"a forward step of 1.2 s is seen once", {0, 0, 1'200'000, 1'200'000, 1'200'000}, {1'200'000}},
        {"a backward step of 20 ms", {0, -20'000, -20'000}, {-20'000}},
        {"a slew of 0.5 ms a second for 100 s is no step",
         [] {
             std::vector<int64_t> v;
             for (int i = 0; i < 100; ++i) v.push_back(i * 500);
             return v;
         }(),
         {}},
        {"exactly the threshold is no step", {0, kClockStepThresholdUs}, {}},
        {"the first look has nothing to compare with", {5 * kSecondUs}, {}},
    };
    for (const StepCase& c : cases) {
        ClockStepDetector detector;
        std::vector<int64_t> found;
        int64_t mono = 1000 * kSecondUs;
        for (const int64_t difference : c.wallMinusMonoUs) {
            mono += kSecondUs;
            if (const auto step = detector.Feed({mono + difference, mono})) found.push_back(step->sizeUs);
        }
        EXPECT_EQ(found, c.expectedStepsUs) << c.legend;
    }
}

TEST(PcClockTest, LineSaysStatusOrRecentStep) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2026-12-09 14:03:11 UTC.
    const int64_t stepAt = 1'796'824'991LL * kSecondUs;
    const ClockStep step{1'204'300, stepAt};
    struct LineCase {
        const char* legend;
        PcClockStatus status;
        std::optional<ClockStep> step;
        int64_t now;
        const char* expected;
    };
    const std::vector<LineCase> cases = {
        {"synchronised, error rounded up",
         {PcClockSync::Synchronised, 1500, 16000},
         std::nullopt,
         stepAt,
         "PC clock: synchronised, error \xC2\xB1"
         "2 ms"},
        {"a tiny error still shows 1 ms",
         {PcClockSync::Synchronised, 0, 100},
         std::nullopt,
         stepAt,
         "PC clock: synchronised, error \xC2\xB1"
         "1 ms"},
        {"not synchronised",
         {PcClockSync::NotSynchronised, 16000, 16000},
         std::nullopt,
         stepAt,
         "PC clock: not synchronised"},
        {"unknown", {}, std::nullopt, stepAt, "PC clock: status unknown"},
        {"a step within the minute wins",
         {PcClockSync::Synchronised, 0, 0},
         step,
         stepAt + 59 * kSecondUs,
         "PC clock: stepped +1.204 s at 14:03:11"},
        {"an old step is forgotten",
         {PcClockSync::NotSynchronised, 0, 0},
         step,
         stepAt + 61 * kSecondUs,
         "PC clock: not synchronised"},
    };
    for (const LineCase& c : cases) EXPECT_EQ(PcClockLine(c.status, c.step, c.now), c.expected) << c.legend;
    EXPECT_EQ(ClockStepText({-12'000, stepAt}), "PC clock stepped -0.012 s at 14:03:11");
}

TEST(PcClockTest, ThisMachineAnswers) {
    // The probe never fails; the two clocks advance together between two reads.
    const PcClockStatus status = ReadPcClockStatus();
    if (status.sync != PcClockSync::Unknown) {
        EXPECT_GE(status.maximumErrorUs, 0);
    }
    const ClockPair a = ReadClockPair();
    const ClockPair b = ReadClockPair();
    EXPECT_GE(b.monotonicUs, a.monotonicUs);
    EXPECT_GT(a.wallUnixUs, 1'600'000'000LL * kSecondUs);
}

}  // namespace
}  // namespace sincrovia
