// System-style formatting: the conversions the decoder texts, the passage list and the log
// lines are written with, and the errors for mismatched arguments.
#include "util/SysFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace sincrovia {
namespace {

struct Case {
    const char* legend;
    std::function<std::string()> run;
    const char* want;
};

void RunTable(const std::initializer_list<Case>& cases) {
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(c.run(), c.want) << c.legend;
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.legend << ": raised " << e.what();
        }
    }
}

TEST(SysFormat, IntegersPadWithZerosToThePrecision) {
    RunTable({
        {"%.2d pads to two digits", [] { return SysFormat("%.2d", {7}); }, "07"},
        {"%8.8d of a negative number keeps the sign before the zeros", [] { return SysFormat("%8.8d", {-5}); },
         "-00000005"},
        {"%11.11d of a negative 64-bit difference", [] { return SysFormat("%11.11d", {-42LL}); }, "-00000000042"},
        {"a precision never cuts", [] { return SysFormat("%3.3d", {12345}); }, "12345"},
        {"byte dump element", [] { return SysFormat("-%3.3d", {7}); }, "-007"},
        {"%.5d without width", [] { return SysFormat("%.5d", {12}); }, "00012"},
        {"%.0d of zero still writes the zero", [] { return SysFormat("%.0d", {0}); }, "0"},
        {"width pads with blanks on the left", [] { return SysFormat("%5d", {42}); }, "   42"},
        {"'-' left-justifies", [] { return SysFormat("%-5d|", {42}); }, "42   |"},
        {"a leading 0 in the width is no zero flag", [] { return SysFormat("%05d", {5}); }, "    5"},
        {"width and precision together", [] { return SysFormat("%6.3d", {-7}); }, "  -007"},
        {"width from the arguments",
         [] {
             return SysFormat("%*d", {4, 9});
         },
         "   9"},
        {"negative width from the arguments left-justifies",
         [] {
             return SysFormat("%*d|", {-4, 9});
         },
         "9   |"},
        {"precision from the arguments",
         [] {
             return SysFormat("%.*d", {3, 9});
         },
         "009"},
        {"the most negative 64-bit number", [] { return SysFormat("%d", {std::numeric_limits<int64_t>::min()}); },
         "-9223372036854775808"},
        {"%u of a positive number", [] { return SysFormat("%.4u", {42u}); }, "0042"},
        {"upper-case type letters are the same conversions",
         [] {
             return SysFormat("%D %S", {3, "x"});
         },
         "3 x"},
    });
}

TEST(SysFormat, HexadecimalIsUpperCase) {
    RunTable({
        {"plain", [] { return SysFormat("%x", {255}); }, "FF"},
        {"language with precision from the arguments",
         [] {
             return SysFormat("%.*x", {4, 0x0410});
         },
         "0410"},
        {"code page with precision from the arguments",
         [] {
             return SysFormat("%.*x", {4, 0x04E4});
         },
         "04E4"},
        {"a negative 16-bit word read as signed shows 32 bits",
         [] {
             return SysFormat("%.*x", {4, -32768});
         },
         "FFFF8000"},
        {"a 64-bit value", [] { return SysFormat("%x", {0x123456789ABLL}); }, "123456789AB"},
        {"width", [] { return SysFormat("%4x", {10}); }, "   A"},
        {"pointer style: eight digits", [] { return SysFormat("%p", {0xBEEF}); }, "0000BEEF"},
    });
}

TEST(SysFormat, TextsAreCutByThePrecisionAndPaddedByTheWidth) {
    RunTable({
        {"%7.7s pads a short text", [] { return SysFormat("%7.7s", {"abc"}); }, "    abc"},
        {"%7.7s cuts a long text", [] { return SysFormat("%7.7s", {"abcdefghij"}); }, "abcdefg"},
        {"%21.21s of a 4-character text", [] { return SysFormat("%21.21s", {"1000"}); }, "                 1000"},
        {"%2s of an exact fit", [] { return SysFormat("%2s", {"-0"}); }, "-0"},
        {"left-justified", [] { return SysFormat("%-6s|", {"ab"}); }, "ab    |"},
        {"%.0s writes nothing", [] { return SysFormat("[%.0s]", {"abc"}); }, "[]"},
        {"empty text", [] { return SysFormat("[%s]", {""}); }, "[]"},
        {"bytes above 0x7F pass unchanged", [] { return SysFormat("%s", {"\xE8\x80"}); }, "\xE8\x80"},
        {"passage list entry in one piece",
         [] {
             return SysFormat("%5.5s=%10.10s-%10.10d-%1.1s-%15.15s%2.2s-%10.10d",
                              {"00003", "0000001234", 1200LL, "1", "000000000002469", "-0", 1234LL});
         },
         "00003=0000001234-0000001200-1-000000000002469-0-0000001234"},
        {"serial error line",
         [] {
             return SysFormat("Code %d at %d Text: %s", {5, 12, "Read error"});
         },
         "Code 5 at 12 Text: Read error"},
    });
}

TEST(SysFormat, GeneralFloatsUseFifteenSignificantDigits) {
    RunTable({
        {"a whole number has no point", [] { return SysFormat("%G", {4.0}); }, "4"},
        {"two digits", [] { return SysFormat("%G", {33.0}); }, "33"},
        {"a half", [] { return SysFormat("%G", {0.5}); }, "0.5"},
        {"a 32-bit checksum stays plain", [] { return SysFormat("%G", {4294967295.0}); }, "4294967295"},
        {"fifteen digits stay plain", [] { return SysFormat("%G", {999999999999999.0}); }, "999999999999999"},
        {"sixteen digits turn scientific", [] { return SysFormat("%G", {1234567890123456.0}); },
         "1.23456789012346E015"},
        {"binary noise is rounded away", [] { return SysFormat("%G", {0.1 + 0.2}); }, "0.3"},
        {"a negative number", [] { return SysFormat("%G", {-2.5}); }, "-2.5"},
        {"zero", [] { return SysFormat("%G", {0.0}); }, "0"},
        {"negative zero has no sign", [] { return SysFormat("%G", {-0.0}); }, "0"},
        {"1E-4 stays plain", [] { return SysFormat("%G", {0.0001}); }, "0.0001"},
        {"below 1E-4 turns scientific", [] { return SysFormat("%G", {0.00001}); }, "1E-005"},
        {"a precision sets the significant digits", [] { return SysFormat("%.3G", {1234.5}); }, "1.23E003"},
        {"lower-case g is the same", [] { return SysFormat("%g", {1.25}); }, "1.25"},
        {"not a number", [] { return SysFormat("%G", {std::numeric_limits<double>::quiet_NaN()}); }, "NAN"},
        {"minus infinity", [] { return SysFormat("%G", {-std::numeric_limits<double>::infinity()}); }, "-INF"},
        {"width pads", [] { return SysFormat("%5G", {1.5}); }, "  1.5"},
    });
}

TEST(SysFormat, FixedScientificNumberAndMoney) {
    RunTable({
        {"%6.7f: the precision is the number of decimals", [] { return SysFormat("%6.7f", {0.123456789}); },
         "0.1234568"},
        {"%f defaults to two decimals", [] { return SysFormat("%f", {3.14159}); }, "3.14"},
        {"width pads a fixed number", [] { return SysFormat("%8.3f", {-3.14159}); }, "  -3.142"},
        {"a negative number that rounds to zero loses its sign", [] { return SysFormat("%.2f", {-0.001}); }, "0.00"},
        {"%e: fifteen significant digits and a signed three-digit exponent", [] { return SysFormat("%e", {1.5}); },
         "1.50000000000000E+000"},
        {"%e with a precision", [] { return SysFormat("%.3e", {12345.0}); }, "1.23E+004"},
        {"%e of a small negative number", [] { return SysFormat("%.2e", {-0.00012}); }, "-1.2E-004"},
        {"%n groups thousands", [] { return SysFormat("%n", {1234567.891}); }, "1,234,567.89"},
        {"%n of a small number", [] { return SysFormat("%.0n", {100.0}); }, "100"},
        {"%m is money", [] { return SysFormat("%m", {1234.5}); }, "$1,234.50"},
        {"%m of a negative amount", [] { return SysFormat("%m", {-3.0}); }, "-$3.00"},
    });
}

TEST(SysFormat, LiteralsPercentAndArgumentIndexes) {
    RunTable({
        {"%% is one percent sign", [] { return SysFormat("100%%", {}); }, "100%"},
        {"text without conversions", [] { return SysFormat("plain text", {}); }, "plain text"},
        {"empty pattern", [] { return SysFormat("", {1}); }, ""},
        {"extra arguments are ignored",
         [] {
             return SysFormat("%d", {1, 2});
         },
         "1"},
        {"an index picks an argument",
         [] {
             return SysFormat("%1:s %0:s", {"a", "b"});
         },
         "b a"},
        {"after an index the next argument follows it",
         [] {
             return SysFormat("%s %0:s %s", {"a", "b"});
         },
         "a a b"},
        {"generator status line",
         [] {
             return SysFormat("Generati: %d Inviati: %d", {12, 3});
         },
         "Generati: 12 Inviati: 3"},
    });
}

TEST(SysFormat, MismatchedArgumentsAndBadPatternsRaise) {
    const struct {
        const char* legend;
        std::function<std::string()> run;
    } cases[] = {
        {"%d of a floating-point number", [] { return SysFormat("%d", {1.0}); }},
        {"%x of a text", [] { return SysFormat("%x", {"1"}); }},
        {"%f of an integer", [] { return SysFormat("%f", {1}); }},
        {"%G of a text", [] { return SysFormat("%G", {"4"}); }},
        {"%s of an integer", [] { return SysFormat("%s", {1}); }},
        {"no argument at all", [] { return SysFormat("%d", {}); }},
        {"one argument short", [] { return SysFormat("%d %d", {1}); }},
        {"'*' without its argument", [] { return SysFormat("%*d", {}); }},
        {"'*' given a text",
         [] {
             return SysFormat("%*d", {"4", 1});
         }},
        {"a pattern ending in %", [] { return SysFormat("abc%", {1}); }},
        {"a conversion without a type", [] { return SysFormat("%5", {1}); }},
        {"an unknown type", [] { return SysFormat("%y", {1}); }},
        {"an index beyond the arguments",
         [] {
             return SysFormat("%2:d", {1, 2});
         }},
        {"an absurd width", [] { return SysFormat("%99999999d", {1}); }},
        {"an absurd width from the arguments",
         [] {
             return SysFormat("%*d", {1 << 30, 1});
         }},
    };
    for (const auto& c : cases) EXPECT_THROW(c.run(), FormatError) << c.legend;

    try {
        SysFormat("id %5.5d", {"x"});
        ADD_FAILURE() << "no error";
    } catch (const FormatError& e) {
        EXPECT_STREQ(e.what(), "Format '%5.5d' invalid or incompatible with argument");
    }
}

}  // namespace
}  // namespace sincrovia
