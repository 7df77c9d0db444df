// Date-time values: encoding, decoding, the text patterns of the window and the link, and the
// PC clock.
#include "util/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace sincrovia {
namespace {

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, ms);
}

struct DateCase {
    const char* legend;
    int year, month, day;
    double value;
};

TEST(DateTime, EncodeDateCountsDaysFromTheZeroDate) {
    const DateCase cases[] = {
        {"the zero date itself", 1899, 12, 30, 0},       {"first day of 1900 (1900 is not a leap year)", 1900, 1, 1, 2},
        {"day before the zero date", 1899, 12, 29, -1},  {"Unix epoch", 1970, 1, 1, 25569},
        {"first day of 2000", 2000, 1, 1, 36526},        {"29 February of a 400-year leap year", 2000, 2, 29, 36585},
        {"1 March after it", 2000, 3, 1, 36586},         {"an ordinary day of 2026", 2026, 12, 8, 46364},
        {"first day of the calendar", 1, 1, 1, -693593}, {"last day of the calendar", 9999, 12, 31, 2958465},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeDate(c.year, c.month, c.day), c.value) << c.legend;
        const DateTimeFields f = DecodeDateTime(c.value);
        EXPECT_EQ(f.year, c.year) << c.legend;
        EXPECT_EQ(f.month, c.month) << c.legend;
        EXPECT_EQ(f.day, c.day) << c.legend;
    }
}

TEST(DateTime, EveryDayOfFourCenturiesRoundTrips) {
    // Walks 1 January 1900 .. 31 December 2299 day by day: catches any month or leap slip.
    TDateTime expected = EncodeDate(1900, 1, 1);
    for (int y = 1900; y < 2300; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= 31; ++d) {
                TDateTime v = 0;
                if (!TryEncodeDate(y, m, d, v)) continue;
                ASSERT_EQ(v, expected) << y << "-" << m << "-" << d;
                const DateTimeFields f = DecodeDateTime(v);
                ASSERT_EQ(f.year * 10000 + f.month * 100 + f.day, y * 10000 + m * 100 + d);
                expected += 1;
            }
        }
    }
    EXPECT_EQ(expected, EncodeDate(2300, 1, 1));
}

struct InvalidDate {
    const char* legend;
    int year, month, day;
};

TEST(DateTime, InvalidDatesAreRefusedWithTheirOwnMessage) {
    const InvalidDate cases[] = {
        {"29 February of an ordinary year", 2026, 2, 29},
        {"29 February of a century year", 1900, 2, 29},
        {"31 April", 2026, 4, 31},
        {"month 0", 2026, 0, 1},
        {"month 13", 2026, 13, 1},
        {"day 0", 2026, 1, 0},
        {"day 32", 2026, 1, 32},
        {"year 0", 0, 1, 1},
        {"year 10000", 10000, 1, 1},
        {"negative day", 2026, 1, -1},
    };
    for (const auto& c : cases) {
        TDateTime v = 123;
        EXPECT_FALSE(TryEncodeDate(c.year, c.month, c.day, v)) << c.legend;
        EXPECT_EQ(v, 123) << c.legend << ": output untouched on failure";
        try {
            EncodeDate(c.year, c.month, c.day);
            ADD_FAILURE() << c.legend << ": no error";
        } catch (const DateTimeError& e) {
            EXPECT_STREQ(e.what(), "Invalid argument to date encode") << c.legend;
        }
    }
}

struct InvalidTime {
    const char* legend;
    int hour, minute, second, ms;
};

TEST(DateTime, InvalidTimesAreRefusedWithTheirOwnMessage) {
    const InvalidTime cases[] = {
        {"hour 24", 24, 0, 0, 0},       {"minute 60", 0, 60, 0, 0},
        {"second 60", 0, 0, 60, 0},     {"millisecond 1000", 0, 0, 0, 1000},
        {"negative hour", -1, 0, 0, 0}, {"negative millisecond", 0, 0, 0, -1},
    };
    for (const auto& c : cases) {
        TDateTime v = 0;
        EXPECT_FALSE(TryEncodeTime(c.hour, c.minute, c.second, c.ms, v)) << c.legend;
        try {
            EncodeTime(c.hour, c.minute, c.second, c.ms);
            ADD_FAILURE() << c.legend << ": no error";
        } catch (const DateTimeError& e) {
            EXPECT_STREQ(e.what(), "Invalid argument to time encode") << c.legend;
        }
    }
    EXPECT_DOUBLE_EQ(EncodeTime(23, 59, 59, 999), (kMsPerDay - 1) / kMsPerDay);
    EXPECT_DOUBLE_EQ(EncodeTime(12, 0, 0, 0), 0.5);
}

struct DecodeCase {
    const char* legend;
    double value;
    DateTimeFields want;
};

TEST(DateTime, DecodeRoundsToTheMillisecondAndReadsNegativeValuesClassically) {
    const double ms = 1 / kMsPerDay;
    const double base = EncodeDate(2026, 12, 8);
    const DecodeCase cases[] = {
        {"0.4 ms rounds down", base + EncodeTime(3, 52, 33, 123) + 0.4 * ms, {2026, 12, 8, 3, 52, 33, 123}},
        {"0.6 ms rounds up", base + EncodeTime(3, 52, 33, 123) + 0.6 * ms, {2026, 12, 8, 3, 52, 33, 124}},
        {"last 0.4 ms of a day rounds into the next day", base + 1 - 0.4 * ms, {2026, 12, 9, 0, 0, 0, 0}},
        {"a quarter of a day before zero is 06:00 of the zero date", -0.25, {1899, 12, 30, 6, 0, 0, 0}},
        {"minus a day and a quarter is 06:00 of the day before", -1.25, {1899, 12, 29, 6, 0, 0, 0}},
        {"a value made of milliseconds (a 2000 ms countdown)", 1532 * ms, {1899, 12, 30, 0, 0, 1, 532}},
    };
    for (const auto& c : cases) {
        const DateTimeFields f = DecodeDateTime(c.value);
        EXPECT_EQ(f.year, c.want.year) << c.legend;
        EXPECT_EQ(f.month, c.want.month) << c.legend;
        EXPECT_EQ(f.day, c.want.day) << c.legend;
        EXPECT_EQ(f.hour, c.want.hour) << c.legend;
        EXPECT_EQ(f.minute, c.want.minute) << c.legend;
        EXPECT_EQ(f.second, c.want.second) << c.legend;
        EXPECT_EQ(f.millisecond, c.want.millisecond) << c.legend;
    }
}

TEST(DateTime, ValuesOutsideTheCalendarAreErrorsNotGarbage) {
    const struct {
        const char* legend;
        double value;
    } cases[] = {
        {"not a number", std::numeric_limits<double>::quiet_NaN()},
        {"infinity", std::numeric_limits<double>::infinity()},
        {"after 9999", 2958466.5},
        {"before year 1", -693594.5},
        {"far beyond any integer", 1e300},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(DecodeDateTime(c.value), DateTimeError) << c.legend;
        EXPECT_THROW(FormatDateTime("dd.mm.yyyy", c.value), DateTimeError) << c.legend;
    }
}

TEST(DateTime, DayOfTheWeekIsIso) {
    const struct {
        const char* legend;
        double value;
        int want;
    } cases[] = {
        {"8 December 2026 is a Tuesday", EncodeDate(2026, 12, 8), 2},
        {"the zero date was a Saturday", 0, 6},
        {"1 January 2000 was a Saturday", EncodeDate(2000, 1, 1), 6},
        {"a Sunday is 7", EncodeDate(2026, 12, 13), 7},
        {"a Monday is 1", EncodeDate(2026, 12, 14) + 0.99, 1},
        {"1 January of year 1 was a Monday", EncodeDate(1, 1, 1), 1},
    };
    for (const auto& c : cases) EXPECT_EQ(DayOfTheWeek(c.value), c.want) << c.legend;
}

struct PatternCase {
    const char* legend;
    const char* pattern;
    double value;
    const char* want;
};

TEST(DateTime, PatternsOfTheWindowAndTheLink) {
    const double v = At(2026, 12, 8, 3, 52, 33, 123);
    const double ms = 1 / kMsPerDay;
    const PatternCase cases[] = {
        {"log stamp: m after hh means minutes", "dd mmm hh:mm:ss.zzz", v, "08 Dec 03:52:33.123"},
        {"date box: the trailing open quote adds nothing", "dd mmm yyyy\"", v, "08 Dec 2026"},
        {"time box", "hh\"h \"nn\"m \"ss\"s \"zzz\"ms\"", v, "03h 52m 33s 123ms"},
        {"countdown: single-digit seconds", "s.zzz", 1532 * ms, "1.532"},
        {"countdown below one second", "s.zzz", 87 * ms, "0.087"},
        {"serial message line", "\"Msg  \" dd.mm.yy hh:mm:ss\" :\"", v, "Msg   08.12.26 03:52:33 :"},
        {"passage stamp with full year", "dd.mm.yyyy-hh:mm:ss.zzz", v, "08.12.2026-03:52:33.123"},
        {"passage stamp of the value 0", "dd.mm.yyyy-hh:mm:ss.zzz", 0, "30.12.1899-00:00:00.000"},
        {"lap time: 83.45 s as hundredths", "nn:ss.zzz", 8345 / 8640000.0, "01:23.450"},
        {"lap time drops whole hours", "nn:ss.zzz", (3600 * 100 + 8345) / 8640000.0, "01:23.450"},
        {"command time text", "\"Sending time \"hh\"h:\"nn\"m:\"ss\"s.\"zzz\"ms\"", At(2026, 1, 2, 4, 5, 6, 0),
         "Sending time 04h:05m:06s.000ms"},
        {"long time format", "hh:nn:ss", v, "03:52:33"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.pattern, c.value), c.want) << c.legend;
}

TEST(DateTime, PatternTokensAndLiterals) {
    const double v = At(2026, 3, 4, 5, 6, 7, 8);
    const PatternCase cases[] = {
        {"single-letter tokens do not pad", "d/m/yy h:n:s.z", v, "4/3/26 5:6:7.8"},
        {"tokens are case-insensitive", "DD.MM.YYYY HH:NN:SS.ZZZ", v, "04.03.2026 05:06:07.008"},
        {"mm alone is the month", "mm", v, "03"},
        {"mm after an hour token is the minute", "hh mm", v, "05 06"},
        {"mm after hour and day tokens is the month again", "hh dd mm", v, "05 04 03"},
        {"mmmm is the long month name", "mmmm", v, "March"},
        {"ddd and dddd are day names", "ddd dddd", v, "Wed Wednesday"},
        {"single quotes are literals too", "'at' hh'h'", v, "at 05h"},
        {"a quote left open runs to the end", "hh\" and dd mm", v, "05 and dd mm"},
        {"an empty quoted text adds nothing", "hh\"\"nn", v, "0506"},
        {"separators and blanks are copied", "yyyy/mm/dd - hh:nn", v, "2026/03/04 - 05:06"},
        {"zz pads like zzz", "zz", v, "008"},
        {"yyy is the full year", "yyy", v, "2026"},
        {"t and tt are short and long time", "t|tt", v, "05:06|05:06:07"},
        {"letters that are not tokens are copied", "hh x", v, "05 x"},
        {"empty pattern", "", v, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.pattern, c.value), c.want) << c.legend;
    EXPECT_EQ(FormatDateTime(LongTimeFormat(), v), "05:06:07");
}

TEST(DateTime, ShortMonthNamesAreEnglish) {
    const char* want[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 1; m <= 12; ++m) {
        EXPECT_EQ(ShortMonthName(m), want[m - 1]);
        EXPECT_EQ(FormatDateTime("mmm", EncodeDate(2026, m, 15)), want[m - 1]);
    }
    EXPECT_THROW(ShortMonthName(0), DateTimeError);
    EXPECT_THROW(ShortMonthName(13), DateTimeError);
}

class FixedZone : public ::testing::Test {
protected:
    void SetZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    void TearDown() override {
        if (saved_.empty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", saved_.c_str(), 1);
        }
        tzset();
    }
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz == nullptr ? "" : tz;
    }

private:
    std::string saved_;
};

TEST_F(FixedZone, UnixMillisecondsBecomeLocalDateTimes) {
    const struct {
        const char* legend;
        const char* zone;
        int64_t unixMs;
        const char* want;
    } cases[] = {
        {"the epoch in UTC", "UTC0", 0, "01.01.1970 00:00:00.000"},
        {"a known instant in UTC", "UTC0", 1234567890123, "13.02.2009 23:31:30.123"},
        {"one millisecond before the epoch", "UTC0", -1, "31.12.1969 23:59:59.999"},
        {"the epoch one hour east of UTC", "XET-1", 0, "01.01.1970 01:00:00.000"},
        {"the epoch five hours west of UTC", "XWT5", 0, "31.12.1969 19:00:00.000"},
    };
    for (const auto& c : cases) {
        SetZone(c.zone);
        EXPECT_EQ(FormatDateTime("dd.mm.yyyy hh:nn:ss.zzz", UnixMsToDateTime(c.unixMs)), c.want) << c.legend;
    }
}

TEST_F(FixedZone, NowIsThePcClockInLocalTime) {
    SetZone("UTC0");
    const int64_t before = NowUnixMs();
    const TDateTime now = Now();
    const int64_t after = NowUnixMs();
    EXPECT_LE(UnixMsToDateTime(before), now);
    EXPECT_LE(now, UnixMsToDateTime(after));
    // The same clock as time(): within a second of it (plus a generous margin for a loaded host).
    const auto seconds = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(std::llabs(after / 1000 - seconds), 2);
    // UTC: the value counts whole days from the zero date plus the time of day.
    EXPECT_NEAR(now, 25569 + static_cast<double>(before) / kMsPerDay, 10 / 86400.0);
}

}  // namespace
}  // namespace sincrovia
