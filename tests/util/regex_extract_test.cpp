// Extraction of matches: the firmware version out of decoder banners, and all-matches mode.
#include "util/RegExExtractString.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/RegExpr.h"

namespace sincrovia {
namespace {

// The pattern the program applies to a firmware reply.
const std::string kVersionPattern = "([0-9]{1,2}\\.[0-9]{1,2}\\.[0-9]{1,2})|([0-9]{1,2}\\.[0-9]{1,2})";

struct ExtractCase {
    const char* legend;
    std::string input;
    std::string expected;
};

TEST(RegExExtract, FirmwareVersionFromBanners) {
    ASSERT_EQ(kVersionPattern.size(), 61u);
    const std::vector<ExtractCase> cases = {
        {"banner ending in a three-part version", "teKAN - teVO Ver: 6.33.1", "6.33.1"},
        {"two-part version", "Ver 6.33", "6.33"},
        {"a part has at most two digits: the first position that matches wins", "V 123.4.5", "23.4.5"},
        {"no dotted number", "teKAN - teVO Ver: none", ""},
        {"empty reply", "", ""},
        {"a third part of three digits is cut to two", "Ver 6.33.123", "6.33.12"},
        {"a dot without a digit after it leaves two parts", "Ver 6.33.x", "6.33"},
        {"the first version of several", "fw 1.2.3 boot 4.5.6", "1.2.3"},
        {"a version right at the start", "10.02.07 build", "10.02.07"},
        {"a version followed by a line break", "Ver: 6.40.2\r\n", "6.40.2"},
        {"a lone number and a trailing dot do not count", "7. 8 9.", ""},
        {"a version after a character 0 is not seen", std::string("Ver\0 6.33.1", 11), ""},
        {"bytes above 127 around the version", "\xE8\xE9 2.1 \xFF", "2.1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TRegExExtract::ExtractMatches(c.input, kVersionPattern, true), c.expected) << c.legend;
    }
}

TEST(RegExExtract, AllMatchesEachFollowedByAComma) {
    struct Case {
        const char* legend;
        std::string input;
        std::string pattern;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"two matches", "1.2 and 3.4", "[0-9]\\.[0-9]", "1.2,3.4,"},
        {"one match", "only 5.6 here", "[0-9]\\.[0-9]", "5.6,"},
        {"no match gives the empty string", "none", "[0-9]\\.[0-9]", ""},
        {"versions of every decoder", "a 6.33.1 b 6.4 c", kVersionPattern, "6.33.1,6.4,"},
        {"empty matches move on one character", "ab", "x*", ",,,"},
        {"adjacent matches", "aaa", "a", "a,a,a,"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TRegExExtract::ExtractMatches(c.input, c.pattern, false), c.expected) << c.legend;
    }
}

TEST(RegExExtract, FirstOnlyGivesTheWholeMatchNotAGroup) {
    EXPECT_EQ(TRegExExtract::ExtractMatches("key=value;", "=(\\w+);", true), "=value;");
}

TEST(RegExExtract, EngineErrorsReachTheCaller) {
    struct Case {
        const char* legend;
        std::string pattern;
        int code;
    };
    const std::vector<Case> cases = {
        {"unclosed group", "([0-9]", regexpr_error::kUnclosedGroup},
        {"empty pattern", "", regexpr_error::kNoExpression},
        {"nested quantifier", "a**", regexpr_error::kNestedQuantifier},
    };
    for (const auto& c : cases) {
        for (bool firstOnly : {true, false}) {
            try {
                TRegExExtract::ExtractMatches("1.2", c.pattern, firstOnly);
                ADD_FAILURE() << c.legend << ": no error";
            } catch (const ERegExpr& e) {
                EXPECT_EQ(e.ErrorCode, c.code) << c.legend;
            }
        }
    }
    // A failed pattern leaves nothing behind for the next call.
    EXPECT_EQ(TRegExExtract::ExtractMatches("Ver 6.33.1", kVersionPattern, true), "6.33.1");
    EXPECT_THROW(TRegExExtract::ExtractMatches("1.2", "([0-9]", true), ERegExpr);
}

TEST(RegExExtract, SwitchingPatternsGivesEachItsOwnResult) {
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(TRegExExtract::ExtractMatches("Ver 6.33.1 id 42", kVersionPattern, true), "6.33.1");
        EXPECT_EQ(TRegExExtract::ExtractMatches("Ver 6.33.1 id 42", "id \\d+", true), "id 42");
    }
}

TEST(RegExExtract, LargeInput) {
    std::string text(1 << 20, '9');
    for (size_t k = 100; k < text.size(); k += 100) text[k] = ' ';
    text += " Ver: 6.33.1";
    EXPECT_EQ(TRegExExtract::ExtractMatches(text, kVersionPattern, true), "6.33.1");
    EXPECT_EQ(TRegExExtract::ExtractMatches("Ver 1.2", kVersionPattern, true), "1.2") << "works on after a large input";
}

}  // namespace
}  // namespace sincrovia
