// Date-time values as the decoders' world counts them: days since 30 December 1899, the
// fraction being the time of day. Encoding and decoding validate their input; an invalid
// date or time is a DateTimeError with a message of its own.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sincrovia {

/// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

/// Milliseconds in one day: one millisecond is 1 / kMsPerDay of a date-time value.
inline constexpr double kMsPerDay = 86'400'000.0;

/// `value` / `unit` rounded towards minus infinity (`unit` > 0): the whole units up to an
/// instant, for instants before the epoch as well.
constexpr int64_t FloorDiv(int64_t value, int64_t unit) {
    const int64_t q = value / unit;
    return (value % unit != 0 && value < 0) ? q - 1 : q;
}

/// What `value` holds beyond its FloorDiv whole units: always in [0, unit).
constexpr int64_t FloorMod(int64_t value, int64_t unit) { return value - FloorDiv(value, unit) * unit; }

/// Raised by the encoders and converters for an invalid date, time or text.
class DateTimeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Calendar fields of a date-time value.
struct DateTimeFields {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

/// Date part of a value for year 1..9999, month 1..12, day valid in that month; else DateTimeError.
TDateTime EncodeDate(int year, int month, int day);

/// Time-of-day fraction for hour 0..23, minute 0..59, second 0..59, ms 0..999; else DateTimeError.
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);

/// Like EncodeDate but reports failure instead of raising.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);

/// Like EncodeTime but reports failure instead of raising.
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& out);

/// Splits a value into calendar fields, rounding to the nearest millisecond.
DateTimeFields DecodeDateTime(TDateTime value);

/// ISO weekday of a value: Monday = 1 ... Sunday = 7.
int DayOfTheWeek(TDateTime value);

/// The PC clock (local time) with millisecond resolution.
TDateTime Now();

/// The PC clock as milliseconds since the Unix epoch (UTC), the source of Now().
int64_t NowUnixMs();

/// The PC clock as microseconds since the Unix epoch (UTC): the instants of requests, replies
/// and rounds.
int64_t NowUnixUs();

/// Converts a Unix time in milliseconds to a local date-time value.
TDateTime UnixMsToDateTime(int64_t unixMs);

/// Converts a Unix time in microseconds to a local date-time value (the microseconds kept as
/// a fraction of a millisecond).
TDateTime UnixUsToDateTime(int64_t unixUs);

/// Formats a value with a date-time pattern (dd, mm, mmm, yy, yyyy, hh, nn, ss, zzz, s, n, h,
/// "quoted" and 'quoted' literals, a quote left open running to the end of the pattern).
std::string FormatDateTime(std::string_view pattern, TDateTime value);

/// The locale's long time format ("hh:nn:ss").
const std::string& LongTimeFormat();

/// Short month names (index 0 = January) used by "mmm".
const std::string& ShortMonthName(int month1to12);

}  // namespace sincrovia
