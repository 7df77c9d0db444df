#include "tools/simulator/DecoderClock.h"

#include <cmath>
#include <ctime>

namespace sincrovia::sim {

namespace {

constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kUsPerMs = 1'000;
constexpr double kPerMillion = 1e-6;
constexpr int kTmYearBase = 1900;

int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

DecoderClock::DecoderClock(int64_t startUs, int64_t offsetMs, double driftPpm)
    : anchorPcUs_(startUs), anchorReadingUs_(startUs + offsetMs * kUsPerMs), driftPpm_(driftPpm) {}

int64_t DecoderClock::ReadingAt(int64_t pcUs) const {
    const int64_t elapsed = pcUs - anchorPcUs_;
    const auto gained = std::llround(static_cast<double>(elapsed) * driftPpm_ * kPerMillion);
    return anchorReadingUs_ + elapsed + static_cast<int64_t>(gained);
}

void DecoderClock::SetAt(int64_t pcUs, int64_t readingUs) {
    anchorPcUs_ = pcUs;
    anchorReadingUs_ = readingUs;
}

void DecoderClock::FollowTrueTime(int64_t pcUs) {
    anchorPcUs_ = pcUs;
    anchorReadingUs_ = pcUs;
    driftPpm_ = 0.0;
}

int64_t PcNowUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kUsPerSecond + ts.tv_nsec / 1000;
}

ClockFields LocalFields(int64_t unixUs) {
    const int64_t seconds = FloorDiv(unixUs, kUsPerSecond);
    const auto t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    ClockFields f;
    f.year = local.tm_year + kTmYearBase;
    f.month = local.tm_mon + 1;
    f.day = local.tm_mday;
    f.hour = local.tm_hour;
    f.minute = local.tm_min;
    f.second = local.tm_sec;
    f.millisecond = static_cast<int>((unixUs - seconds * kUsPerSecond) / kUsPerMs);
    return f;
}

std::optional<int64_t> LocalSecondToUnixUs(int year, int month, int day, int hour, int minute, int second) {
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59)
        return std::nullopt;
    tm local{};
    local.tm_year = year - kTmYearBase;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;  // let the zone rules decide, as the PC clock does
    const time_t t = mktime(&local);
    if (t == static_cast<time_t>(-1)) return std::nullopt;  // outside what time_t holds
    return static_cast<int64_t>(t) * kUsPerSecond;
}

}  // namespace sincrovia::sim
