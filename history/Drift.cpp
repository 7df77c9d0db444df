#include "history/Drift.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>

namespace sincrovia::history {

namespace {

constexpr double kUsPerSecond = 1e6;
constexpr double kUsPerMs = 1e3;
/// A decoder reading counts whole milliseconds: half of one is the least any reading can be off.
constexpr double kHalfReadingStepUs = 500;
/// The minus sign of the shown rates (U+2212).
constexpr char kMinusSign[] = "\xE2\x88\x92";

struct Sums {
    std::string decoder;
    struct Point {
        double x;             // seconds since the first reading
        double y;             // offset µs
        int64_t roundTripUs;  // 0 when unknown
    };
    std::vector<Point> xy;
    int64_t firstUs = 0;
    int64_t lastUs = 0;
};

}  // namespace

std::vector<DriftFit> FitDrift(const std::vector<OffsetPoint>& points) {
    std::vector<Sums> groups;
    std::map<std::string, std::size_t> index;
    for (const OffsetPoint& p : points) {
        auto [it, fresh] = index.emplace(p.decoder, groups.size());
        if (fresh) groups.push_back({p.decoder, {}, p.unixUs, p.unixUs});
        Sums& g = groups[it->second];
        g.xy.push_back({static_cast<double>(p.unixUs - g.firstUs) / kUsPerSecond, static_cast<double>(p.offsetUs),
                        std::max<int64_t>(0, p.roundTripUs.value_or(0))});
        g.lastUs = std::max(g.lastUs, p.unixUs);
    }
    std::vector<DriftFit> fits;
    for (const Sums& g : groups) {
        const double n = static_cast<double>(g.xy.size());
        int64_t shortest = std::numeric_limits<int64_t>::max();
        for (const auto& p : g.xy)
            if (p.roundTripUs > 0) shortest = std::min(shortest, p.roundTripUs);
        std::vector<double> w;
        for (const auto& p : g.xy) {
            const double excessUs = p.roundTripUs > 0 ? static_cast<double>(p.roundTripUs - shortest) : 0;
            // The two errors are independent, so their squares add.
            w.push_back(1 / (kHalfReadingStepUs * kHalfReadingStepUs + excessUs * excessUs));
        }
        double sw = 0, mx = 0, my = 0;
        for (std::size_t i = 0; i < g.xy.size(); ++i) {
            sw += w[i];
            mx += w[i] * g.xy[i].x;
            my += w[i] * g.xy[i].y;
        }
        mx /= sw;
        my /= sw;
        double sxx = 0, sxy = 0;
        for (std::size_t i = 0; i < g.xy.size(); ++i) {
            sxx += w[i] * (g.xy[i].x - mx) * (g.xy[i].x - mx);
            sxy += w[i] * (g.xy[i].x - mx) * (g.xy[i].y - my);
        }
        if (g.xy.size() < 2 || sxx <= 0) continue;  // one instant says nothing about a rate
        DriftFit f;
        f.decoder = g.decoder;
        f.points = static_cast<int>(g.xy.size());
        f.ppm = sxy / sxx;  // µs per second is ppm
        if (g.xy.size() >= 3) {
            // The weights only rank the readings; their scatter sets the error.
            double ssr = 0;
            for (std::size_t i = 0; i < g.xy.size(); ++i) {
                const double r = g.xy[i].y - (my + f.ppm * (g.xy[i].x - mx));
                ssr += w[i] * r * r;
            }
            f.ppmError = std::sqrt(ssr / (n - 2) / sxx);
        }
        f.lastUnixUs = g.lastUs;
        f.offsetUsAtLast = my + f.ppm * (static_cast<double>(g.lastUs - g.firstUs) / kUsPerSecond - mx);
        fits.push_back(std::move(f));
    }
    return fits;
}

SpreadForecast ForecastSpread(const std::vector<DriftFit>& fits, double thresholdMs, int64_t nowUnixUs,
                              int64_t dayEndUnixUs) {
    // The spread is the largest difference of any two decoders, so it first reaches the
    // threshold when the first pair does: solve each ordered pair's straight line.
    SpreadForecast best;
    const double limitUs = thresholdMs * kUsPerMs;
    double bestSeconds = std::numeric_limits<double>::infinity();
    const auto offsetAtNow = [nowUnixUs](const DriftFit& f) {
        return f.offsetUsAtLast + f.ppm * static_cast<double>(nowUnixUs - f.lastUnixUs) / kUsPerSecond;
    };
    for (const DriftFit& a : fits) {
        for (const DriftFit& b : fits) {
            if (&a == &b) continue;
            const double gap = offsetAtNow(a) - offsetAtNow(b);  // a ahead of b by this much
            const double closing = a.ppm - b.ppm;                // µs per second
            double seconds = 0;
            if (gap < limitUs) {
                if (closing <= 0) continue;
                seconds = (limitUs - gap) / closing;
            }
            if (seconds < bestSeconds) {
                bestSeconds = seconds;
                best.ahead = a.decoder;
                best.behind = b.decoder;
                best.aheadPpm = a.ppm;
                best.behindPpm = b.ppm;
            }
        }
    }
    const double untilEnd = static_cast<double>(dayEndUnixUs - nowUnixUs) / kUsPerSecond;
    if (!std::isfinite(bestSeconds) || bestSeconds >= untilEnd) return SpreadForecast{};
    best.crossing = true;
    best.atUnixUs = nowUnixUs + static_cast<int64_t>(std::llround(bestSeconds * kUsPerSecond));
    return best;
}

std::string PpmText(double ppm) {
    const long long rounded = std::llround(ppm);
    if (rounded == 0) return "0 ppm";
    return (rounded < 0 ? std::string(kMinusSign) : std::string("+")) + std::to_string(std::llabs(rounded)) + " ppm";
}

std::string ForecastText(const SpreadForecast& forecast, double thresholdMs) {
    if (!forecast.crossing) return "no crossing today";
    const std::time_t seconds = static_cast<std::time_t>(forecast.atUnixUs / static_cast<int64_t>(kUsPerSecond));
    std::tm local{};
    localtime_r(&seconds, &local);
    char clock[8];
    std::strftime(clock, sizeof clock, "%H:%M", &local);
    char threshold[32];
    std::snprintf(threshold, sizeof threshold, "%g", thresholdMs);
    return std::string("Spread reaches ") + threshold + " ms at about " + clock + " (" + forecast.ahead + " " +
           PpmText(forecast.aheadPpm) + ", " + forecast.behind + " " + PpmText(forecast.behindPpm) + ")";
}

}  // namespace sincrovia::history
