// Inputs the fuzz targets of the window's decisions found faulty, kept so the fault stays gone.
// Run them in the sanitized build as well: the first one was undefined behaviour, which a plain
// build may hide.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Decisions.h"
#include "util/DateTime.h"

namespace sincrovia {
namespace {

TEST(FuzzRegressionsReading, YearFieldAtTheIntegerLimitsWrapsToSixteenBits) {
    // The year field plus 2000 is kept as a 16-bit value; the sum itself must not overflow.
    struct Case {
        const char* legend;
        const char* yearField;
        int year;  // the year the text decodes to, 0 when the date does not exist
    } const cases[] = {
        {"largest 32-bit field: the sum passes the int limit, wraps to 1999 (was signed overflow)", "2147483647", 1999},
        {"smallest 32-bit field wraps to 2000", "-2147483648", 2000},
        {"sum 10000: beyond the last year", "8000", 0},
        {"sum exactly 65536 wraps to year 0, no such year", "63536", 0},
        {"sum 67436 wraps to year 1900", "65436", 1900},
        {"negative field down to year 1900", "-100", 1900},
        {"an ordinary two-digit year", "26", 2026},
    };
    for (const Case& c : cases) {
        // Given as fields: a negative number cannot come out of a "-"-separated text, but the
        // function takes any list.
        const std::vector<std::string> fields{"1", c.yearField, "03", "01", "10", "20", "30", "400"};
        if (c.year == 0) {
            EXPECT_THROW(FieldsToDateTime(fields), DateTimeError) << c.legend;
            continue;
        }
        const DateTimeFields back = DecodeDateTime(FieldsToDateTime(fields));
        EXPECT_EQ(c.year, back.year) << c.legend;
        EXPECT_EQ(3, back.month) << c.legend;
        EXPECT_EQ(400, back.millisecond) << c.legend;
    }
}

}  // namespace
}  // namespace sincrovia
