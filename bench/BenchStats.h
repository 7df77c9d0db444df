// Figures of the measurement programs: the quantiles they quote and the one-line JSON row
// bench/gather.py collects from each of them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace sincrovia::bench {

/// The q-quantile (0..1) of `v`, interpolated between the two nearest ranks; NaN when empty.
inline double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const double pos = q * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

/// The median of `v`; NaN when empty.
inline double Median(std::vector<double> v) { return Quantile(std::move(v), 0.5); }

/// Prints one figure as a JSON row. `limit` is the p99 the target allows; 0 means the figure is
/// only reported (met: null).
inline void PrintRow(const char* figure, const char* unit, double median, double p99, const std::string& reference,
                     const char* target, double limit) {
    const char* met = limit > 0 ? (p99 <= limit ? "true" : "false") : "null";
    std::printf(
        "{\"figure\": \"%s\", \"unit\": \"%s\", \"median\": %.3f, \"p99\": %.3f, \"reference\": \"%s\", "
        "\"target\": \"%s\", \"met\": %s}\n",
        figure, unit, median, p99, reference.c_str(), target, met);
    std::fflush(stdout);
}

/// The same row for a list of values: their median and p99.
inline void PrintRow(const char* figure, const std::vector<double>& values, const char* unit,
                     const std::string& reference, const char* target, double limit) {
    PrintRow(figure, unit, Quantile(values, 0.5), Quantile(values, 0.99), reference, target, limit);
}

}  // namespace sincrovia::bench
