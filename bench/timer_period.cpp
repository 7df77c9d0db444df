// Period of the threaded timer as the main thread sees it: the timer runs at 100 ms for 500
// ticks while the main thread serves the hand-over, and every tick notes the monotonic clock.
// The error of a period is its distance from the interval. Prints one JSON line for run.sh
// (bench/run.sh); "--ticks N" shortens the run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "serial/ThdTimer.h"
#include "util/MainThread.h"
#include "bench/BenchStats.h"

namespace {

using sincrovia::bench::Quantile;

constexpr uint32_t kIntervalMs = 100;
constexpr int kDefaultTicks = 500;
constexpr double kNsPerMs = 1e6;
constexpr double kMedian = 0.5, kP99 = 0.99;
constexpr auto kServeSlice = std::chrono::milliseconds(50);

}  // namespace

int main(int argc, char** argv) {
    int ticks = kDefaultTicks;
    if (argc == 3 && std::strcmp(argv[1], "--ticks") == 0) ticks = std::max(2, std::atoi(argv[2]));

    using Clock = std::chrono::steady_clock;
    sincrovia::SetMainThread();
    std::vector<Clock::time_point> at;
    at.reserve(static_cast<size_t>(ticks) + 1);
    {
        sincrovia::TThreadedTimer timer;
        timer.SetInterval(kIntervalMs);
        timer.OnTimer = [&](void*) { at.push_back(Clock::now()); };
        timer.SetEnabled(true);
        while (at.size() < static_cast<size_t>(ticks) + 1) {
            sincrovia::WaitAndServeMainThreadCalls(kServeSlice);
        }
        timer.SetEnabled(false);
    }

    std::vector<double> error, period;
    for (size_t i = 1; i < at.size(); ++i) {
        const double ms =
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(at[i] - at[i - 1]).count()) /
            kNsPerMs;
        period.push_back(ms);
        error.push_back(std::fabs(ms - kIntervalMs));
    }
    const double median = Quantile(error, kMedian);
    const double p99 = Quantile(error, kP99);
    std::printf(
        "{\"figure\": \"threaded timer period error, %d ticks at %u ms\", \"unit\": \"ms\", "
        "\"median\": %.3f, \"p99\": %.3f, \"reference\": \"median period %.3f ms, max error "
        "%.3f ms\", \"target\": \"\", \"met\": null}\n",
        ticks, kIntervalMs, median, p99, Quantile(period, kMedian), *std::max_element(error.begin(), error.end()));
    return 0;
}
