// Behaviour of the regular-expression engine: syntax, modifiers, line breaks, searching,
// match slots, limits and errors.
#include "util/RegExpr.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace sincrovia {
namespace {

namespace err = regexpr_error;

constexpr const char* kNoMatch = "<no match>";

// Runs pattern over input with default settings; the whole match, or kNoMatch.
std::string FirstMatch(const std::string& pattern, const std::string& input) {
    TRegExpr re;
    re.SetExpression(pattern);
    return re.Exec(input) ? re.GroupText(0) : kNoMatch;
}

// The error code the pattern raises when compiled, or 0.
int CompileError(const std::string& pattern, int* position = nullptr) {
    TRegExpr re;
    re.SetExpression(pattern);
    try {
        re.Compile();
    } catch (const ERegExpr& e) {
        if (position != nullptr) *position = e.CompilerErrorPos;
        EXPECT_EQ(re.LastError(), e.ErrorCode);
        return e.ErrorCode;
    }
    return 0;
}

struct MatchCase {
    const char* legend;
    std::string pattern;
    std::string input;
    std::string expected;  // whole match, or kNoMatch
};

TEST(RegExprSyntax, MatchesWhatEachConstructDescribes) {
    const std::vector<MatchCase> cases = {
        {"a literal is found inside the text", "bc", "abcd", "bc"},
        {"the first position that matches wins", "a", "xaya", "a"},
        {"characters outside the special ones stand for themselves", "]}-,", "x]}-,", "]}-,"},
        {"dot matches any character", "a.c", "a-c", "a-c"},
        {"dot matches a line separator with s on", "a.c", "a\nc", "a\nc"},
        {"a set matches one of its characters", "[xyz]+", "abzyxq", "zyx"},
        {"a range in a set", "[b-d]+", "abcde", "bcd"},
        {"a negated set", "[^0-9]+", "12ab34", "ab"},
        {"a bracket right after the opening one is a member", "[]a]+", "x]a]b", "]a]"},
        {"a bracket right after ^ is a member", "[^]]+", "]]ab]", "ab"},
        {"a dash first in a set is a member", "[-a]+", "x-a-", "-a-"},
        {"a dash last in a set is a member", "[a-]+", "x-a-", "-a-"},
        {"a dash after a range is a member", "[a-c-e]+", "xa-ec", "a-ec"},
        {"a dash before a class is no range", "[a-\\d]+", "x-a5", "-a5"},
        {"\\d inside brackets adds the digits", "[\\dx]+", "ab1x2c", "1x2"},
        {"\\s inside brackets adds the space characters", "[\\s,]+", "a, \tb", ", \t"},
        {"\\w inside brackets adds the word characters", "[\\w.]+", "(ab_1.c)", "ab_1.c"},
        {"an escape in a set gives one character", "[\\t]", "a\tb", "\t"},
        {"\\D inside brackets is the letter D", "[\\D]", "aDb", "D"},
        {"a hex escape as a range end", "[\\x41-\\x43]+", "xABCD", "ABC"},
        {"\\d and \\D", "\\d+\\D", "ab12c", "12c"},
        {"\\w and \\W", "\\w+\\W", "ab_9!x", "ab_9!"},
        {"\\s and \\S", "\\S\\s+\\S", "a \t\r\nb", "a \t\r\nb"},
        {"control escapes", "\\t\\n\\r\\f\\a\\e", "x\t\n\r\f\a\x1By", "\t\n\r\f\a\x1B"},
        {"hex escape with two digits", "\\x41\\x62", "zAb", "Ab"},
        {"hex escape in curly brackets", "\\x{4a}\\x{0000062}", "Jb", "Jb"},
        {"escaped special characters stand for themselves", "\\.\\*\\[\\(\\\\", "a.*[(\\", ".*[(\\"},
        {"escaped ordinary character stands for itself", "\\q\\0", "q0", "q0"},
        {"alternatives are tried from left to right", "ab|abc", "abc", "ab"},
        {"an alternative that fails gives way to the next", "x|b|c", "abc", "b"},
        {"a group inside a sequence", "a(bc)d", "abcd", "abcd"},
        {"alternatives inside a group", "a(b|c)+d", "abcbd", "abcbd"},
        {"star takes as many as possible", "a*", "aaab", "aaa"},
        {"star may take nothing", "xa*", "xb", "x"},
        {"plus needs at least one", "ba+", "bb baa", "baa"},
        {"question mark takes one if it can", "ab?", "abb", "ab"},
        {"question mark gives its character back", "a?[ab]b", "ab", "ab"},
        {"plus gives back all but one", "a+[ab]{2}", "aaa", "aaa"},
        {"an exact count", "a{3}", "aaaaa", "aaa"},
        {"a count with only a lower bound", "a{2,}", "a aaaa", "aaaa"},
        {"a count with both bounds takes the most", "a{2,3}", "aaaaa", "aaa"},
        {"a zero count matches the empty text", "ba{0}", "baa", "b"},
        {"a curly bracket that is no count is a literal", "a{x", "a{x", "a{x"},
        {"a count without closing bracket is a literal", "a{2", "aa{2", "a{2"},
        {"a count with a leading comma is a literal", "a{,2}", "a{,2}", "a{,2}"},
        {"a curly bracket at the start is a literal when no count", "{a}", "x{a}", "{a}"},
        {"a quantifier applies to the last character of a literal", "abc+", "abccc", "abccc"},
        {"star over a group", "(ab)*c", "ababc", "ababc"},
        {"plus over a group", "(ab)+", "xabab", "abab"},
        {"question mark over a group", "x(ab)?y", "xy", "xy"},
        {"a count over a group", "(ab){2}", "abababab", "abab"},
        {"a count range over a group", "(ab){1,2}c", "abababc", "ababc"},
        {"non-greedy star takes as few as possible", "a.*?c", "abcbc", "abc"},
        {"non-greedy plus takes one", "a+?", "aaa", "a"},
        {"non-greedy star stops at a character it cannot take", "a*?b", "aacb", "b"},
        {"non-greedy question mark takes none", "ab??", "ab", "a"},
        {"non-greedy count takes the lower bound", "a{2,4}?", "aaaa", "aa"},
        {"non-greedy star over a group", "(ab)*?c", "ababc", "ababc"},
        {"non-greedy count over a group", "(ab){1,3}?", "ababab", "ab"},
        {"greedy star backs off for the rest", "a.*c", "abcbcx", "abcbc"},
        {"greedy count backs off for the rest", "\\d{1,3}5", "12345", "2345"},
        {"back reference repeats the captured text", "(a+)b\\1", "aabaa", "aabaa"},
        {"back reference with a different text fails", "(ab)x\\1", "abxba abxab", "abxab"},
        {"back reference to a group that took no part fails", "(a)|b\\1", "b", kNoMatch},
        {"caret at the start of the input", "^ab", "abab", "ab"},
        {"caret elsewhere fails without m", "^b", "ab", kNoMatch},
        {"dollar at the end of the input", "ab$", "abab", "ab"},
        {"dollar before a line break fails without m", "a$", "a\nb", kNoMatch},
        {"word boundary", "\\bca.", "concat cab", "cab"},
        {"not a word boundary", "\\Bca.", "cab concat", "cat"},
        {"word boundary at the end of the input", "a\\b", "ab a", "a"},
        {"\\A is the start of the input", "\\Aa", "aa", "a"},
        {"\\Z is the end of the input", "a\\Z", "aba", "a"},
        {"an empty match at the end is found", "x*$", "ab", ""},
        {"a comment is skipped", "a(?#any text)b", "ab", "ab"},
        {"a comment may hold special characters", "a(?#[*+(\\)b", "ab", "ab"},
        {"a modifier group switches case-insensitivity on", "a(?i)b", "aB", "aB"},
        {"case-insensitivity is not applied before the modifier", "a(?i)b", "AB", kNoMatch},
        {"a modifier acts to the end of its group only", "((?i)a)b", "AB Ab", "Ab"},
        {"a modifier at the outer level acts in later alternatives", "x(?i)y|z", "Z", "Z"},
        {"a dash switches the letters after it off", "(?i)a(?-i)b", "Ab AB", "Ab"},
        {"modifier letters in upper case", "(?I)ab", "AB", "AB"},
        {"modifier group switching greediness off", "(?-g)a+", "aaa", "a"},
        {"modifier group switching dot off line breaks", "(?-s)a.b", "a\nb a-b", "a-b"},
        {"modifier group switching multi-line on", "(?m)^b", "a\nb", "b"},
        {"modifier group switching extended syntax on", "(?x) a b # comment\n c", "abc", "abc"},
        {"extended syntax keeps escaped blanks", "(?x)a\\ b", "a b", "a b"},
        {"extended syntax keeps blanks in sets", "(?x)a[ ]b", "a b", "a b"},
        {"extended syntax allows blanks before a quantifier", "(?x)a +", "aaa", "aaa"},
        {"the input ends at its first character 0", "b", std::string("a\0b", 3), kNoMatch},
        {"dot never matches past a character 0", "a.*", std::string("ab\0cd", 5), "ab"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FirstMatch(c.pattern, c.input), c.expected) << c.legend << ": " << c.pattern;
    }
}

struct GroupCase {
    const char* legend;
    std::string pattern;
    std::string input;
    std::vector<std::string> groups;  // slot 1 onwards
};

TEST(RegExprSyntax, GroupsCaptureInOrderOfTheirOpeningParentheses) {
    const std::vector<GroupCase> cases = {
        {"nested groups", "((a)(b(c)))", "abc", {"abc", "a", "bc", "c"}},
        {"a group in a loop keeps its last iteration", "(\\d)+", "123", {"3"}},
        {"a group in the alternative not taken is empty", "(a)|(b)", "a", {"a", ""}},
        {"a group in the alternative taken", "(a)|(b)", "b", {"", "b"}},
        {"a group undone by backtracking", "(a)?ab", "ab", {""}},
        {"a group from a loop iteration given back", "(ab)*abx", "ababx", {"ab"}},
        {"a non-greedy group", "(a+?)(a*)", "aaa", {"a", "aa"}},
        {"a back reference inside the group that it names sees the last capture", "(a\\1?)+", "aaa", {"aa"}},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        bool found = false;
        try {
            found = re.Exec(c.input);
        } catch (const ERegExpr& e) {
            ADD_FAILURE() << c.legend << ": " << e.what();
            continue;
        }
        ASSERT_TRUE(found) << c.legend;
        for (size_t g = 0; g < c.groups.size(); ++g) {
            EXPECT_EQ(re.GroupText(static_cast<int>(g + 1)), c.groups[g]) << c.legend << ", group " << g + 1;
        }
    }
}

TEST(RegExprSlots, PositionsLengthsAndOutOfRangeSlots) {
    TRegExpr re;
    re.SetExpression("(b+)(x)?");
    ASSERT_TRUE(re.Exec("abbc"));
    EXPECT_EQ(re.MatchPos(0), 2);
    EXPECT_EQ(re.MatchLen(0), 2);
    EXPECT_EQ(re.MatchPos(1), 2);
    EXPECT_EQ(re.MatchPos(2), -1) << "group that took no part";
    EXPECT_EQ(re.MatchLen(2), -1);
    EXPECT_EQ(re.SubExprMatchCount(), 1);
    EXPECT_EQ(re.GroupText(-1), "");
    EXPECT_EQ(re.GroupText(15), "");
    EXPECT_EQ(re.GroupText(14), "");
    EXPECT_FALSE(re.Exec("xyz"));
    EXPECT_EQ(re.GroupText(0), "") << "a failed search clears the slots";
    EXPECT_EQ(re.MatchPos(0), -1);
}

TEST(RegExprSlots, GroupTwoIsEmptyWhenTheFirstAlternativeMatched) {
    TRegExpr re;
    re.SetExpression("(a)|(b)");
    ASSERT_TRUE(re.Exec("a"));
    EXPECT_EQ(re.GroupText(1), "a");
    EXPECT_EQ(re.GroupText(2), "");
    EXPECT_EQ(re.MatchPos(2), -1);
}

struct ModifierCase {
    const char* legend;
    int modifier;
    bool value;
    std::string pattern;
    std::string input;
    std::string expected;
};

TEST(RegExprModifiers, PropertyFlagsChangeTheMatch) {
    using R = TRegExpr;
    const std::vector<ModifierCase> cases = {
        {"i: letters of either case", R::kModifierI, true, "abc", "xAbC", "AbC"},
        {"i: sets match both cases", R::kModifierI, true, "[a-c]+", "xAbCd", "AbC"},
        {"i: negated sets exclude both cases", R::kModifierI, true, "[^a]+", "Aab", "b"},
        {"i: Latin-1 letters of code page 1252", R::kModifierI, true, "\xE9", "\xC9", "\xC9"},
        {"i: back references compare without case", R::kModifierI, true, "(ab)\\1", "abAB", "abAB"},
        {"i off: case matters", R::kModifierI, false, "abc", "ABC abc", "abc"},
        {"s off: dot stops at a line feed", R::kModifierS, false, "a.+", "ab\ncd", "ab"},
        {"s off: dot stops at a lone carriage return", R::kModifierS, false, "a.+", "ab\rcd", "ab"},
        {"g off: star takes as few as possible", R::kModifierG, false, "a*b*", "aab", ""},
        {"g off: a non-greedy mark stays non-greedy", R::kModifierG, false, "a+?", "aaa", "a"},
        {"g off: counts take their lower bound", R::kModifierG, false, "a{1,3}", "aaa", "a"},
        {"m: caret after a line feed", R::kModifierM, true, "^b", "a\nb", "b"},
        {"m: dollar before a carriage return", R::kModifierM, true, "a$", "a\rb", "a"},
        {"m off: caret only at the start", R::kModifierM, false, "^b", "a\nb", kNoMatch},
        {"x: blanks and comments ignored", R::kModifierX, true, "a b #c\n c", "abc", "abc"},
        {"x off: blanks count", R::kModifierX, false, "a b", "ab a b", "a b"},
        {"x: a comment without line break runs to the end", R::kModifierX, true, "ab#c", "abc", "ab"},
        {"r: lower-case Cyrillic range includes yo", R::kModifierR, true, "[\xE0-\xFF]+", "\xB8\xE0\xFF",
         "\xB8\xE0\xFF"},
        {"r: upper-case Cyrillic range includes Yo", R::kModifierR, true, "[\xC0-\xDF]+", "\xA8\xC0\xDF",
         "\xA8\xC0\xDF"},
        {"r: a-to-Ya covers both cases and both yo", R::kModifierR, true, "[\xE0-\xDF]+", "x\xA8\xB8\xC0\xFFx",
         "\xA8\xB8\xC0\xFF"},
        {"r off: the lower-case range is a plain range", R::kModifierR, false, "[\xE0-\xFF]+", "\xB8\xE0", "\xE0"},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetModifier(c.modifier, c.value);
        re.SetExpression(c.pattern);
        std::string got = re.Exec(c.input) ? re.GroupText(0) : kNoMatch;
        EXPECT_EQ(got, c.expected) << c.legend;
    }
}

TEST(RegExprModifiers, InitialValuesAndRecompilationAfterAChange) {
    TRegExpr re;
    EXPECT_FALSE(re.ModifierI());
    EXPECT_TRUE(re.ModifierR());
    EXPECT_TRUE(re.ModifierS());
    EXPECT_TRUE(re.ModifierG());
    EXPECT_FALSE(re.ModifierM());
    EXPECT_FALSE(re.ModifierX());
    re.SetExpression("abc");
    EXPECT_FALSE(re.Exec("ABC"));
    re.SetModifierI(true);
    EXPECT_TRUE(re.Exec("ABC")) << "the changed modifier is used by the next search";
    re.SetModifierI(false);
    EXPECT_FALSE(re.Exec("ABC"));
}

TEST(RegExprModifiers, ModifierNumberOutsideOneToSixIsError1013) {
    TRegExpr re;
    for (int index : {0, 7, -1}) {
        try {
            re.SetModifier(index, true);
            ADD_FAILURE() << "no error for modifier " << index;
        } catch (const ERegExpr& e) {
            EXPECT_EQ(e.ErrorCode, err::kUnknownModifierIndex);
            EXPECT_STREQ(e.what(), "Unknown error");
        }
        EXPECT_THROW((void)re.Modifier(index), ERegExpr);
        EXPECT_EQ(re.LastError(), err::kUnknownModifierIndex);
    }
    EXPECT_TRUE(re.Modifier(TRegExpr::kModifierR));
}

struct LineCase {
    const char* legend;
    std::string pattern;  // searched with m on and s off
    std::string input;
    std::vector<int> positions;  // 1-based positions of all matches
};

TEST(RegExprLines, LineBreaksAndThePairedSeparator) {
    const std::vector<LineCase> cases = {
        {"caret at every line start, not between CR and LF", "^", "a\r\nb\nc", {1, 4, 6}},
        {"dollar at every line end, not between CR and LF", "$", "a\r\nb\nc", {2, 5, 7}},
        {"caret after a lone carriage return", "^.", "a\rb", {1, 3}},
        {"dot does not match the carriage return of a pair", ".", "a\r\nb", {1, 4}},
        {"two line feeds make an empty line", "^$", "a\n\nb", {3}},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetModifierM(true);
        re.SetModifierS(false);
        re.SetExpression(c.pattern);
        std::vector<int> got;
        for (bool found = re.Exec(c.input); found; found = re.ExecNext()) got.push_back(re.MatchPos(0));
        EXPECT_EQ(got, c.positions) << c.legend;
    }
}

TEST(RegExprLines, SeparatorSettings) {
    TRegExpr re;
    re.SetModifierS(false);
    re.SetExpression("a.b");
    EXPECT_TRUE(re.Exec("a;b"));
    re.SetLineSeparators(";");
    re.SetLinePairedSeparator("");
    EXPECT_FALSE(re.Exec("a;b")) << "the new separator is not matched by dot";
    EXPECT_TRUE(re.Exec("a\nb")) << "the line feed is no separator any more";

    // A paired separator whose characters are no separators on their own.
    re.SetLineSeparators("");
    re.SetLinePairedSeparator("xy");
    re.SetModifierM(true);
    re.SetExpression("^q");
    ASSERT_TRUE(re.Exec("axyq"));
    EXPECT_EQ(re.MatchPos(0), 4);
    re.SetExpression("a.");
    ASSERT_TRUE(re.Exec("axyax"));
    EXPECT_EQ(re.MatchPos(0), 4) << "dot refuses the first character of the pair";
}

TEST(RegExprLines, BadPairedSeparatorIsError128AndKeepsTheOldValue) {
    TRegExpr re;
    for (const std::string& bad : {std::string("x"), std::string("xx"), std::string("abc")}) {
        try {
            re.SetLinePairedSeparator(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const ERegExpr& e) {
            EXPECT_EQ(e.ErrorCode, err::kBadLinePairedSeparator);
            EXPECT_STREQ(e.what(),
                         "TRegExpr(comp): LinePairedSeparator must countain two different chars or no chars "
                         "at all (pos 0)");
        }
        EXPECT_EQ(re.LinePairedSeparator(), "\r\n");
    }
}

TEST(RegExprCharacterSets, SpaceWordAndCaseSettings) {
    TRegExpr re;
    re.SetSpaceChars("_");
    re.SetExpression("a\\sb");
    EXPECT_TRUE(re.Exec("a_b"));
    EXPECT_FALSE(re.Exec("a b"));
    re.SetWordChars("ab");
    re.SetExpression("\\w+\\b");
    ASSERT_TRUE(re.Exec("xab1"));
    EXPECT_EQ(re.GroupText(0), "ab");
    re.SetInvertCase([](char c) { return c == 'a' ? 'q' : c == 'q' ? 'a' : c; });
    re.SetModifierI(true);
    re.SetExpression("a");
    ASSERT_TRUE(re.Exec("Aq"));
    EXPECT_EQ(re.GroupText(0), "q") << "the case inversion given is the one used";
}

TEST(RegExprCase, Cp1252InversionPairs) {
    struct Case {
        const char* legend;
        unsigned char in;
        unsigned char out;
    };
    const Case cases[] = {
        {"ASCII upper to lower", 'Q', 'q'},
        {"ASCII lower to upper", 'z', 'Z'},
        {"digit unchanged", '7', '7'},
        {"Latin-1 upper", 0xC9, 0xE9},
        {"Latin-1 lower", 0xFE, 0xDE},
        {"multiplication sign unchanged", 0xD7, 0xD7},
        {"division sign unchanged", 0xF7, 0xF7},
        {"sharp s unchanged", 0xDF, 0xDF},
        {"S caron", 0x8A, 0x9A},
        {"y diaeresis", 0xFF, 0x9F},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<unsigned char>(RegExprInvertCaseCp1252(static_cast<char>(c.in))), c.out) << c.legend;
    }
}

TEST(RegExprSearch, ExecNextWalksThroughTheMatches) {
    TRegExpr re;
    re.SetExpression("\\d+");
    ASSERT_TRUE(re.Exec("a1b22c333"));
    std::vector<std::string> found{re.GroupText(0)};
    while (re.ExecNext()) found.push_back(re.GroupText(0));
    EXPECT_EQ(found, (std::vector<std::string>{"1", "22", "333"}));
}

TEST(RegExprSearch, EmptyMatchMovesOneCharacterOn) {
    TRegExpr re;
    re.SetExpression("x*");
    ASSERT_TRUE(re.Exec("ab"));
    std::vector<int> positions{re.MatchPos(0)};
    while (re.ExecNext()) positions.push_back(re.MatchPos(0));
    EXPECT_EQ(positions, (std::vector<int>{1, 2, 3})) << "an empty match at each position, the end included";
}

TEST(RegExprSearch, AnchorsReferToTheWholeInputInLaterSearches) {
    TRegExpr re;
    re.SetExpression("^a");
    ASSERT_TRUE(re.Exec("aaa"));
    EXPECT_FALSE(re.ExecNext()) << "caret does not match where ExecNext begins";
    re.SetExpression("\\Aa");
    ASSERT_TRUE(re.ExecPos(1));
    EXPECT_FALSE(re.ExecPos(2));
    re.SetExpression("\\bb");
    EXPECT_FALSE(re.ExecPos(2)) << "the word boundary looks at the character before the start";
}

TEST(RegExprSearch, ExecPosOffsets) {
    TRegExpr re;
    re.SetExpression("a*");
    re.SetInputString("bab");
    ASSERT_TRUE(re.ExecPos(2));
    EXPECT_EQ(re.MatchPos(0), 2);
    EXPECT_EQ(re.GroupText(0), "a");
    ASSERT_TRUE(re.ExecPos(4)) << "an empty match at the end of the input";
    EXPECT_EQ(re.MatchLen(0), 0);
    EXPECT_FALSE(re.ExecPos(5)) << "beyond the end plus one simply fails";
}

struct ExecErrorCase {
    const char* legend;
    int expected;
    std::function<void(TRegExpr&)> action;
};

TEST(RegExprErrors, SearchErrors) {
    const std::vector<ExecErrorCase> cases = {
        {"search without a pattern", err::kNoExpression, [](TRegExpr& re) { re.Exec("abc"); }},
        {"ExecNext without a search", err::kExecNextWithoutExec,
         [](TRegExpr& re) {
             re.SetExpression("a");
             re.ExecNext();
         }},
        {"ExecNext after a failed search", err::kExecNextWithoutExec,
         [](TRegExpr& re) {
             re.SetExpression("a");
             re.Exec("b");
             re.ExecNext();
         }},
        {"ExecPos without an input", err::kNoInputString,
         [](TRegExpr& re) {
             re.SetExpression("a");
             re.ExecPos(1);
         }},
        {"ExecPos below 1", err::kOffsetBelowOne,
         [](TRegExpr& re) {
             re.SetExpression("a");
             re.SetInputString("a");
             re.ExecPos(0);
         }},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        try {
            c.action(re);
            ADD_FAILURE() << c.legend << ": no error";
        } catch (const ERegExpr& e) {
            EXPECT_EQ(e.ErrorCode, c.expected) << c.legend;
            EXPECT_EQ(std::string(e.what()), TRegExpr::ErrorText(c.expected)) << c.legend << ": text alone";
            EXPECT_EQ(re.LastError(), c.expected) << c.legend;
        }
    }
}

struct CompileErrorCase {
    const char* legend;
    std::string pattern;
    int code;
    int position;
};

TEST(RegExprErrors, CompilationErrorsWithTheirPositions) {
    const std::vector<CompileErrorCase> cases = {
        {"fifteenth group", "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)(o)", err::kTooManyGroups, 42},
        {"unclosed group", "(ab", err::kUnclosedGroup, 3},
        {"unclosed inner group", "(a(b)", err::kUnclosedGroup, 5},
        {"unclosed modifier group", "(?i", err::kUnclosedGroup, 3},
        {"closing parenthesis without group", "ab)c", err::kUnopenedGroup, 2},
        {"star over an empty-able group", "(a*)*b", err::kOperandCouldBeEmpty, 4},
        {"plus over an anchor", "^+", err::kOperandCouldBeEmpty, 1},
        {"count over an optional", "(a?){2}", err::kOperandCouldBeEmpty, 4},
        {"star over an empty alternative", "(a|)*", err::kOperandCouldBeEmpty, 4},
        {"star over a reference to an empty-able group", "(a?)\\1*", err::kOperandCouldBeEmpty, 6},
        {"star after star", "a**", err::kNestedQuantifier, 2},
        {"plus after a non-greedy star", "a*?+", err::kNestedQuantifier, 3},
        {"count after question mark", "a?{2}", err::kNestedQuantifier, 2},
        {"bad hex digit", "\\xg1", err::kBadHexDigit, 2},
        {"bad second hex digit", "\\x4g", err::kBadHexDigit, 3},
        {"bad hex digit in brackets", "\\x{4g}", err::kBadHexDigit, 4},
        {"inverted range", "[z-a]", err::kInvalidRange, 3},
        {"Cyrillic a-to-Ya without r", "(?-r)[\xE0-\xDF]", err::kInvalidRange, 8},
        {"backslash at the end inside brackets", "[a\\", err::kSetTrailingBackslash, 3},
        {"hex escape without digits at the end", "a\\x", err::kNoHexCode, 3},
        {"hex escape with empty brackets", "\\x{}", err::kNoHexCode, 3},
        {"hex code above 255", "\\x{100}", err::kHexCodeTooBig, 5},
        {"unclosed bracket set", "[abc", err::kUnclosedSet, 4},
        {"bracket set holding only a bracket", "[]", err::kUnclosedSet, 2},
        {"star at the start", "*a", err::kQuantifierFollowsNothing, 0},
        {"plus after a bar", "a|+", err::kQuantifierFollowsNothing, 2},
        {"modifier group with a letter that is no modifier", "(?a)", err::kUnknownModifier, 2},
        {"count at the start", "{2}", err::kQuantifierFollowsNothing, 0},
        {"quantifier after a modifier group", "(?i)*", err::kQuantifierFollowsNothing, 4},
        {"backslash at the end", "ab\\", err::kTrailingBackslash, 3},
        {"count of nine digits", "a{123456789}", err::kCountTooBig, 2},
        {"upper count of nine digits", "a{1,123456789}", err::kCountTooBig, 4},
        {"lower count above upper count", "a{3,2}", err::kCountMinAboveMax, 1},
        {"unclosed comment", "a(?#note", err::kUnclosedComment, 8},
        {"unknown modifier letter", "(?iq)", err::kUnknownModifier, 3},
    };
    for (const auto& c : cases) {
        int position = -2;
        EXPECT_EQ(CompileError(c.pattern, &position), c.code) << c.legend << ": " << c.pattern;
        EXPECT_EQ(position, c.position) << c.legend << ": " << c.pattern;
    }
}

TEST(RegExprErrors, CompilationMessageEndsInThePosition) {
    TRegExpr re;
    re.SetExpression("(ab");
    try {
        re.Exec("ab");
        FAIL() << "no error";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, err::kUnclosedGroup);
        EXPECT_STREQ(e.what(), "TRegExpr(comp): ParseReg Unmatched () (pos 3)");
    }
    EXPECT_EQ(re.LastError(), err::kUnclosedGroup);
    EXPECT_THROW(re.Exec("ab"), ERegExpr) << "the failed program is not kept";
    re.SetExpression("(ab)");
    EXPECT_TRUE(re.Exec("ab"));
}

TEST(RegExprErrors, ErrorTexts) {
    struct Case {
        int code;
        const char* text;
    };
    const Case cases[] = {
        {0, "No errors"},
        {102, "TRegExpr(comp): ParseReg Too Many ()"},
        {104, "TRegExpr(comp): ParseReg Unmatched ()"},
        {106, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {110, "TRegExpr(comp): Parse Atom Trailing \\"},
        {111, "TRegExpr(comp): No Hex Code After \\x"},
        {119, "TRegExpr(comp): RarseAtom Internal Disaster"},
        {124, "TRegExpr(comp): BRACE Min Param Greater then Max"},
        {127, "TRegExpr(comp): Urecognized Modifier"},
        {1006, "TRegExpr(exec): Offset Must Be Greater Then 0"},
        {1015, "TRegExpr(exec): Loop Without LoopEntry !"},
        {1013, "Unknown error"},
        {117, "Unknown error"},
        {-5, "Unknown error"},
    };
    for (const auto& c : cases) EXPECT_EQ(TRegExpr::ErrorText(c.code), c.text) << c.code;
}

// Wraps "a" in `depth` groups, each counted {1}.
std::string NestedCountedGroups(int depth) {
    std::string pattern = "a";
    for (int k = 0; k < depth; ++k) pattern = "(" + pattern + "){1}";
    return pattern;
}

TEST(RegExprLimits, FourteenGroupsAndEightDigitCounts) {
    TRegExpr re;
    re.SetExpression("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)");
    ASSERT_TRUE(re.Exec("abcdefghijklmn"));
    EXPECT_EQ(re.GroupText(14), "n");
    EXPECT_EQ(re.SubExprMatchCount(), 14);

    re.SetExpression("a{0,99999999}b");
    ASSERT_TRUE(re.Exec("aaab"));
    EXPECT_EQ(re.GroupText(0), "aaab");
    re.SetExpression("(ab){2,}");
    ASSERT_TRUE(re.Exec("abababx"));
    EXPECT_EQ(re.GroupText(0), "ababab");
}

TEST(RegExprLimits, CountedLoopsNestTenDeepWhileMatching) {
    TRegExpr re;
    re.SetExpression(NestedCountedGroups(10));
    EXPECT_TRUE(re.Exec("a")) << "ten nested counted loops";
    re.SetExpression(NestedCountedGroups(11));
    try {
        re.Exec("a");
        ADD_FAILURE() << "eleven nested counted loops matched";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, err::kLoopStackExceeded);
        EXPECT_STREQ(e.what(), "TRegExpr(exec): Loop Stack Exceeded");
    }
    EXPECT_NO_THROW(re.Compile()) << "the nesting is a matching limit, not a compilation one";
    EXPECT_FALSE(re.Exec("b")) << "the deep loop is never reached without an a";

    // Greedy stars over compound operands are no counted loops.
    std::string stars = "a";
    for (int k = 0; k < 13; ++k) stars = "(" + stars + ")+";
    re.SetExpression(stars);
    EXPECT_TRUE(re.Exec("aa"));
}

TEST(RegExprRobustness, LongInputWithTheVersionPattern) {
    const std::string pattern = "([0-9]{1,2}\\.[0-9]{1,2}\\.[0-9]{1,2})|([0-9]{1,2}\\.[0-9]{1,2})";
    TRegExpr re;
    re.SetExpression(pattern);

    std::string digits(1 << 20, '7');  // digits everywhere, no point: every position is tried
    EXPECT_FALSE(re.Exec(digits));

    std::string noise;
    noise.reserve(1 << 20);
    while (noise.size() < (1u << 20)) noise += "12.x 3. 4.a .5 ";
    noise += "Ver: 6.33.1";
    ASSERT_TRUE(re.Exec(noise));
    EXPECT_EQ(re.GroupText(0), "6.33.1");
    EXPECT_EQ(re.MatchPos(0), static_cast<int>(noise.size()) - 5);

    std::string dots(1 << 20, '.');
    dots.back() = '1';
    EXPECT_FALSE(re.Exec(dots));
}

TEST(RegExprRobustness, LongRunsNeedNoDeepStack) {
    constexpr int kRun = 1 << 19;
    std::string text(kRun, 'a');
    text += 'b';
    struct Case {
        const char* legend;
        std::string pattern;
        int expectedLength;
    };
    const Case cases[] = {
        {"greedy star over a character", "a*b", kRun + 1},
        {"non-greedy star over dot", ".*?b", kRun + 1},
        {"greedy plus over a group", "(a)+b", kRun + 1},
        {"non-greedy count over a group", "(a){1,}?b", kRun + 1},
        {"back off from the end of a long run", "(.*)a", kRun},
    };
    for (const auto& c : cases) {
        TRegExpr re;
        re.SetExpression(c.pattern);
        try {
            ASSERT_TRUE(re.Exec(text)) << c.legend;
            EXPECT_EQ(re.MatchLen(0), c.expectedLength) << c.legend;
        } catch (const ERegExpr& e) {
            ADD_FAILURE() << c.legend << ": " << e.what();
        }
    }
}

TEST(RegExprRobustness, PathologicalBacktrackingEndsWithAnError) {
    TRegExpr re;
    re.SetExpression("(a+)+b");
    re.SetMatchStepLimit(2'000'000);
    const std::string run(40, 'a');
    try {
        re.Exec(run + "cb");  // the b is there, but not right after the a's
        ADD_FAILURE() << "exponential search finished within the step limit";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, err::kStepLimitExceeded);
    }
    EXPECT_EQ(re.GroupText(0), "");
    EXPECT_THROW(re.ExecNext(), ERegExpr) << "no match was left behind";
    EXPECT_TRUE(re.Exec(run + "b")) << "the same pattern still matches where it can";
    EXPECT_FALSE(re.Exec(run)) << "without any b the search is refused at once";
    EXPECT_EQ(CompileError("(a*)*b"), err::kOperandCouldBeEmpty);
}

TEST(RegExprRobustness, DefaultStepLimitStopsAnExponentialSearch) {
    TRegExpr re;
    re.SetExpression("(a|aa)+c");
    try {
        EXPECT_FALSE(re.Exec(std::string(200, 'a') + "xc"));
        ADD_FAILURE() << "exponential search finished";
    } catch (const ERegExpr& e) {
        EXPECT_EQ(e.ErrorCode, err::kStepLimitExceeded);
    }
}

}  // namespace
}  // namespace sincrovia
