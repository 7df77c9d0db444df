#include "util/DateTime.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <ctime>
#include <limits>

namespace sincrovia {

namespace {

constexpr int kMinYear = 1;
constexpr int kMaxYear = 9999;
constexpr int kMonthsPerYear = 12;
constexpr int kHoursPerDay = 24;
constexpr int kMinutesPerHour = 60;
constexpr int kSecondsPerMinute = 60;
constexpr int kMsPerSecond = 1000;
constexpr int64_t kMsPerDayInt = 86'400'000;
constexpr int64_t kMsPerHour = 3'600'000;
constexpr int64_t kMsPerMinute = 60'000;

// Day number (1 = 1 January of year 1) of 30 December 1899, the zero of a date-time value.
constexpr int64_t kDayNumberOfZero = 693'594;
// Day numbers that the calendar covers: 1 January 1 ... 31 December 9999.
constexpr int64_t kFirstDayNumber = 1;
constexpr int64_t kLastDayNumber = 3'652'059;
constexpr int kDaysPer400Years = 146'097;
constexpr int kDaysPer100Years = 36'524;
constexpr int kDaysPer4Years = 1'461;
constexpr int kDaysPerYear = 365;
// 1 January 1 was a Monday; with ISO numbering Monday is 1.
constexpr int kDaysPerWeek = 7;

const std::array<std::string, kMonthsPerYear> kShortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const std::array<std::string, kMonthsPerYear> kLongMonthNames = {"January",   "February", "March",    "April",
                                                                 "May",       "June",     "July",     "August",
                                                                 "September", "October",  "November", "December"};
// Index 0 = Sunday, as the classic day-name tables count.
const std::array<std::string, kDaysPerWeek> kShortDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const std::array<std::string, kDaysPerWeek> kLongDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                             "Thursday", "Friday", "Saturday"};

const std::string kLongTimeFormat = "hh:nn:ss";
const std::string kShortTimeFormat = "hh:nn";
const std::string kShortDateFormat = "dd/mm/yyyy";
const std::string kLongDateFormat = "dddd d mmmm yyyy";

bool IsLeapYear(int year) { return (year % 4 == 0) && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
    static constexpr std::array<int, kMonthsPerYear> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[static_cast<size_t>(month - 1)];
}

// Splits a value into its day number since the zero date and the milliseconds of the day.
// A negative value keeps the classic reading: its integer part counts days backwards and the
// magnitude of its fraction is the time of day.
void SplitValue(TDateTime value, int64_t& days, int64_t& msOfDay) {
    constexpr double kLowest = static_cast<double>(kFirstDayNumber - kDayNumberOfZero) - 1.0;
    constexpr double kHighest = static_cast<double>(kLastDayNumber - kDayNumberOfZero) + 1.0;
    if (!std::isfinite(value) || value <= kLowest || value >= kHighest) {
        throw DateTimeError("Invalid date-time value");
    }
    // Round to the nearest millisecond, halves to even, as the value's own arithmetic does.
    const auto totalMs = static_cast<int64_t>(std::nearbyint(value * kMsPerDay));
    days = totalMs / kMsPerDayInt;
    msOfDay = (totalMs < 0 ? -totalMs : totalMs) % kMsPerDayInt;
}

void DecodeDayNumber(int64_t dayNumber, int& year, int& month, int& day) {
    if (dayNumber < kFirstDayNumber || dayNumber > kLastDayNumber) {
        throw DateTimeError("Invalid date-time value");
    }
    auto d = static_cast<int>(dayNumber - 1);
    int y = 1;
    const int n400 = d / kDaysPer400Years;
    d %= kDaysPer400Years;
    y += n400 * 400;
    int n100 = d / kDaysPer100Years;
    if (n100 == 4) n100 = 3;  // last day of a leap 400-year cycle
    d -= n100 * kDaysPer100Years;
    y += n100 * 100;
    const int n4 = d / kDaysPer4Years;
    d %= kDaysPer4Years;
    y += n4 * 4;
    int n1 = d / kDaysPerYear;
    if (n1 == 4) n1 = 3;  // 31 December of a leap year
    d -= n1 * kDaysPerYear;
    y += n1;
    int m = 1;
    while (d >= DaysInMonth(y, m)) {
        d -= DaysInMonth(y, m);
        ++m;
    }
    year = y;
    month = m;
    day = d + 1;
}

void AppendPadded(std::string& out, int64_t number, int minDigits) {
    std::string digits = std::to_string(number);
    if (static_cast<int>(digits.size()) < minDigits) {
        out.append(static_cast<size_t>(minDigits) - digits.size(), '0');
    }
    out += digits;
}

// Writes a value with a pattern. Tokens are letters repeated a number of times; quoted text
// is copied; "m" right after an hour token means minutes, so that "hh:mm" reads naturally.
void AppendFormatted(std::string& out, std::string_view pattern, TDateTime value, int depth) {
    // Nested formats ("c", "t", "ddddd" ...) expand to fixed patterns; a small bound keeps a
    // mistaken pattern from recursing without end.
    constexpr int kMaxNesting = 3;
    if (depth > kMaxNesting) return;

    const DateTimeFields f = DecodeDateTime(value);
    char lastToken = ' ';
    size_t i = 0;
    while (i < pattern.size()) {
        const char raw = pattern[i];
        char token = static_cast<char>(std::toupper(static_cast<unsigned char>(raw)));
        if (std::isalpha(static_cast<unsigned char>(raw))) {
            if (token == 'M' && lastToken == 'H') token = 'N';
            lastToken = token;
        }
        size_t count = 1;
        auto countRun = [&]() {
            while (i + count < pattern.size() && std::toupper(static_cast<unsigned char>(pattern[i + count])) ==
                                                     std::toupper(static_cast<unsigned char>(raw))) {
                ++count;
            }
        };
        switch (token) {
        case 'Y':
            countRun();
            if (count <= 2) {
                AppendPadded(out, f.year % 100, 2);
            } else {
                AppendPadded(out, f.year, 4);
            }
            break;
        case 'M':
            countRun();
            if (count == 1) {
                AppendPadded(out, f.month, 1);
            } else if (count == 2) {
                AppendPadded(out, f.month, 2);
            } else if (count == 3) {
                out += ShortMonthName(f.month);
            } else {
                out += kLongMonthNames[static_cast<size_t>(f.month - 1)];
            }
            break;
        case 'D': {
            countRun();
            const auto weekday = static_cast<size_t>(DayOfTheWeek(value) % kDaysPerWeek);
            switch (count) {
            case 1: AppendPadded(out, f.day, 1); break;
            case 2: AppendPadded(out, f.day, 2); break;
            case 3: out += kShortDayNames[weekday]; break;
            case 4: out += kLongDayNames[weekday]; break;
            case 5: AppendFormatted(out, kShortDateFormat, value, depth + 1); break;
            default: AppendFormatted(out, kLongDateFormat, value, depth + 1); break;
            }
            break;
        }
        case 'H':
            countRun();
            AppendPadded(out, f.hour, count == 1 ? 1 : 2);
            break;
        case 'N':
            countRun();
            AppendPadded(out, f.minute, count == 1 ? 1 : 2);
            break;
        case 'S':
            countRun();
            AppendPadded(out, f.second, count == 1 ? 1 : 2);
            break;
        case 'Z':
            countRun();
            AppendPadded(out, f.millisecond, count == 1 ? 1 : 3);
            break;
        case 'T':
            countRun();
            AppendFormatted(out, count == 1 ? kShortTimeFormat : kLongTimeFormat, value, depth + 1);
            break;
        case 'C':
            AppendFormatted(out, kShortDateFormat, value, depth + 1);
            if (f.hour != 0 || f.minute != 0 || f.second != 0 || f.millisecond != 0) {
                out += ' ';
                AppendFormatted(out, kLongTimeFormat, value, depth + 1);
            }
            break;
        case '"':
        case '\'': {
            // Quoted text is copied as it is; a quote left open runs to the end.
            const size_t close = pattern.find(raw, i + 1);
            const size_t end = close == std::string_view::npos ? pattern.size() : close;
            out.append(pattern.substr(i + 1, end - i - 1));
            count = (close == std::string_view::npos ? pattern.size() : close + 1) - i;
            break;
        }
        default: out += raw; break;
        }
        i += count;
    }
}

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
    if (year < kMinYear || year > kMaxYear || month < 1 || month > kMonthsPerYear || day < 1 ||
        day > DaysInMonth(year, month)) {
        return false;
    }
    int64_t dayNumber = 0;
    for (int m = 1; m < month; ++m) dayNumber += DaysInMonth(year, m);
    const int64_t y = year - 1;
    dayNumber += y * kDaysPerYear + y / 4 - y / 100 + y / 400 + day;
    out = static_cast<TDateTime>(dayNumber - kDayNumberOfZero);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& out) {
    if (hour < 0 || hour >= kHoursPerDay || minute < 0 || minute >= kMinutesPerHour || second < 0 ||
        second >= kSecondsPerMinute || millisecond < 0 || millisecond >= kMsPerSecond) {
        return false;
    }
    const int64_t ms =
        hour * kMsPerHour + minute * kMsPerMinute + static_cast<int64_t>(second) * kMsPerSecond + millisecond;
    out = static_cast<double>(ms) / kMsPerDay;
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime result = 0;
    if (!TryEncodeDate(year, month, day, result)) {
        throw DateTimeError("Invalid argument to date encode");
    }
    return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    TDateTime result = 0;
    if (!TryEncodeTime(hour, minute, second, millisecond, result)) {
        throw DateTimeError("Invalid argument to time encode");
    }
    return result;
}

DateTimeFields DecodeDateTime(TDateTime value) {
    int64_t days = 0;
    int64_t msOfDay = 0;
    SplitValue(value, days, msOfDay);
    DateTimeFields f;
    DecodeDayNumber(days + kDayNumberOfZero, f.year, f.month, f.day);
    f.hour = static_cast<int>(msOfDay / kMsPerHour);
    f.minute = static_cast<int>(msOfDay % kMsPerHour / kMsPerMinute);
    f.second = static_cast<int>(msOfDay % kMsPerMinute / kMsPerSecond);
    f.millisecond = static_cast<int>(msOfDay % kMsPerSecond);
    return f;
}

int DayOfTheWeek(TDateTime value) {
    int64_t days = 0;
    int64_t msOfDay = 0;
    SplitValue(value, days, msOfDay);
    // Day number 1 (1 January of year 1) was a Monday.
    const int64_t dayNumber = days + kDayNumberOfZero;
    return static_cast<int>((dayNumber - 1) % kDaysPerWeek) + 1;
}

int64_t NowUnixUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    constexpr int64_t kUsPerSecond = 1'000'000;
    constexpr int64_t kNsPerUs = 1'000;
    return static_cast<int64_t>(ts.tv_sec) * kUsPerSecond + ts.tv_nsec / kNsPerUs;
}

int64_t NowUnixMs() {
    constexpr int64_t kUsPerMs = 1'000;
    return NowUnixUs() / kUsPerMs;
}

/// The Gregorian calendar repeats itself every 400 years (146 097 days).
constexpr int kYearsPerGregorianCycle = 400;
constexpr int64_t kSecondsPerGregorianCycle = int64_t{146'097} * 86'400;

TDateTime UnixUsToDateTime(int64_t unixUs) {
    constexpr int64_t kUsPerMs = 1000;
    const int64_t us = FloorMod(unixUs, kUsPerMs);
    return UnixMsToDateTime(FloorDiv(unixUs, kUsPerMs)) +
           static_cast<double>(us) / (static_cast<double>(kUsPerMs) * kMsPerDay);
}

TDateTime UnixMsToDateTime(int64_t unixMs) {
    // Floor division, so that instants before 1970 keep their millisecond of the second.
    const int64_t seconds = FloorDiv(unixMs, kMsPerSecond);
    const int64_t ms = FloorMod(unixMs, kMsPerSecond);
    const auto t = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        // Some C runtimes (Windows) refuse instants before 1970: take the same instant one
        // Gregorian cycle later, where the calendar repeats day for day, and move the year back.
        const auto later = static_cast<time_t>(seconds + kSecondsPerGregorianCycle);
        if (seconds >= 0 || localtime_r(&later, &local) == nullptr) {
            throw DateTimeError("Invalid Unix time");
        }
        local.tm_year -= kYearsPerGregorianCycle;
    }
    // Count the local calendar day and time of day directly: adding a fraction to a date keeps
    // the day exact and the time at millisecond precision.
    const TDateTime date = EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const int64_t msOfDay = local.tm_hour * kMsPerHour + local.tm_min * kMsPerMinute +
                            // A leap second (tm_sec 60) counts as the last second of the minute.
                            std::min(local.tm_sec, kSecondsPerMinute - 1) * int64_t{kMsPerSecond} + ms;
    return date + static_cast<double>(msOfDay) / kMsPerDay;
}

TDateTime Now() { return UnixMsToDateTime(NowUnixMs()); }

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
    std::string out;
    AppendFormatted(out, pattern, value, 0);
    return out;
}

const std::string& LongTimeFormat() { return kLongTimeFormat; }

const std::string& ShortMonthName(int month1to12) {
    if (month1to12 < 1 || month1to12 > kMonthsPerYear) {
        throw DateTimeError("Invalid month number");
    }
    return kShortMonthNames[static_cast<size_t>(month1to12 - 1)];
}

}  // namespace sincrovia
