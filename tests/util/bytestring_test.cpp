// Code page conversion between the decoders' 8-bit texts and the toolkit's UTF-8.
#include "util/ByteString.h"

#include <gtest/gtest.h>

#include <string>

namespace sincrovia {
namespace {

TEST(ByteString, Cp1252ToUtf8) {
    const struct {
        const char* legend;
        std::string bytes;
        const char* want;
    } cases[] = {
        {"ASCII passes unchanged", "Decoder T1 - 12:00", "Decoder T1 - 12:00"},
        {"euro sign at 0x80", "\x80", "\u20AC"},
        {"low single quote at 0x82", "\x82", "\u201A"},
        {"per mille at 0x89", "\x89", "\u2030"},
        {"curly double quotes at 0x93 0x94", "\x93\x94", "\u201C\u201D"},
        {"trade mark at 0x99", "\x99", "\u2122"},
        {"Y with diaeresis at 0x9F", "\x9F", "\u0178"},
        {"undefined 0x81 keeps its C1 code", "\x81", "\u0081"},
        {"undefined 0x9D keeps its C1 code", "\x9D", "\u009D"},
        {"Italian accented letters (Latin-1 half)", "perch\xE9 citt\xE0", "perch\u00E9 citt\u00E0"},
        {"no-break space and y with diaeresis", "\xA0\xFF", "\u00A0\u00FF"},
        {"a zero byte is kept", std::string("a\0b", 3), nullptr},
    };
    for (const auto& c : cases) {
        const std::string want = c.want != nullptr ? c.want : std::string("a\0b", 3);
        EXPECT_EQ(Cp1252ToUtf8(c.bytes), want) << c.legend;
    }
}

TEST(ByteString, Utf8ToCp1252) {
    const struct {
        const char* legend;
        std::string utf8;
        std::string want;
    } cases[] = {
        {"ASCII passes unchanged", "Sending time 04h", "Sending time 04h"},
        {"euro sign", "\u20AC", "\x80"},
        {"en and em dashes", "\u2013\u2014", "\x96\x97"},
        {"Latin-1 letters", "\u00E8\u00F9", "\xE8\xF9"},
        {"a character outside the code page", "\u4E2D", "?"},
        {"a C1 control that the code page uses for a letter", "\u0080", "?"},
        {"a C1 control of an undefined byte round-trips", "\u008F", "\x8F"},
        {"a character beyond the basic plane", "\U0001F600", "?"},
        {"a stray continuation byte",
         "a\x80"
         "b",
         "a?b"},
        {"a truncated sequence at the end", "a\xE2\x82", "a??"},
        {"an overlong encoding of '/'", "\xC0\xAF", "??"},
        {"an encoded surrogate", "\xED\xA0\x80", "???"},
        {"an invalid lead byte", "\xFF", "?"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8ToCp1252(c.utf8), c.want) << c.legend;
}

TEST(ByteString, EveryByteSurvivesTheRoundTrip) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

}  // namespace
}  // namespace sincrovia
