// Fuzz target: the regular-expression engine. The first byte sets the modifiers, the second the
// pattern length; the pattern follows and the rest is the searched text. Each run is bounded by
// a small step budget so that one input stays fast. Every match must lie inside the text and
// give back its own characters; iterating matches must end. In the checked subset (the pattern
// and text written with a few plain characters) the whole match must equal std::regex's.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "util/RegExExtractString.h"
#include "util/RegExpr.h"

namespace {

using namespace sincrovia;

constexpr size_t kMaxPatternBytes = 96;
constexpr size_t kMaxInputBytes = 512;
// Work budget of one search in the fuzz runs (the default is far larger).
constexpr int64_t kFuzzStepLimit = 200'000;
// Only short texts also go through ExtractMatches, which runs with the default budget.
constexpr size_t kMaxExtractInputBytes = 64;
// The comparison with std::regex stays short: that engine recurses and has no work bound, so
// a nested quantifier costs it time exponential in the text length.
constexpr size_t kMaxCompareInputBytes = 12;
constexpr size_t kMaxComparePatternBytes = 16;

constexpr uint8_t kBitCompareMode = 0x80;
constexpr int kModifierCount = 6;
constexpr uint8_t kModifierBits = 0x3F;
// The modifier bits of a fresh engine (r, s and g on), the ones ExtractMatches uses.
constexpr uint8_t kDefaultModifierBits = 0x0E;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_regex: %s\n", what);
    std::abort();
}

void CheckSlots(const TRegExpr& re, std::string_view input) {
    for (int slot = 0; slot <= TRegExpr::kMaxGroups; ++slot) {
        const int pos = re.MatchPos(slot);
        const int len = re.MatchLen(slot);
        if (pos == -1) {
            if (slot == 0) Fail("a match without slot 0");
            continue;
        }
        if (pos < 1 || len < 0 || static_cast<size_t>(pos - 1 + len) > input.size()) {
            Fail("match slot outside the text");
        }
        if (re.GroupText(slot) != input.substr(static_cast<size_t>(pos - 1), static_cast<size_t>(len))) {
            Fail("group text is not the text at the slot");
        }
    }
    if (re.SubExprMatchCount() < 0 || re.SubExprMatchCount() > TRegExpr::kMaxGroups) {
        Fail("group count out of range");
    }
}

// Characters of the checked subset, in which both engines read the pattern alike.
bool InCompareSubset(std::string_view pattern, std::string_view input) {
    for (const char c : pattern) {
        if (std::string_view("ab.|()*+?").find(c) == std::string_view::npos) return false;
    }
    for (const char c : input) {
        if (c != 'a' && c != 'b') return false;
    }
    return input.size() <= kMaxCompareInputBytes && pattern.size() <= kMaxComparePatternBytes;
}

void CompareWithStdRegex(std::string_view pattern, std::string_view input, bool found, const TRegExpr& re) {
    std::regex other;
    try {
        other.assign(pattern.begin(), pattern.end(), std::regex::ECMAScript);
    } catch (const std::regex_error&) {
        return;
    }
    std::match_results<std::string_view::const_iterator> m;
    const bool otherFound = std::regex_search(input.begin(), input.end(), m, other);
    if (found != otherFound) Fail("found differs from std::regex");
    if (!found) return;
    if (re.MatchPos(0) - 1 != m.position(0) || re.MatchLen(0) != m.length(0)) {
        std::fprintf(stderr, "pattern '%.*s' text '%.*s': %d+%d, std::regex %ld+%ld\n",
                     static_cast<int>(pattern.size()), pattern.data(), static_cast<int>(input.size()), input.data(),
                     re.MatchPos(0) - 1, re.MatchLen(0), static_cast<long>(m.position(0)),
                     static_cast<long>(m.length(0)));
        Fail("whole match differs from std::regex");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t patternLength = std::min<size_t>({data[1], kMaxPatternBytes, size - 2});
    const std::string_view pattern(reinterpret_cast<const char*>(data + 2), patternLength);
    std::string_view input(reinterpret_cast<const char*>(data + 2 + patternLength), size - 2 - patternLength);
    if (input.size() > kMaxInputBytes) input = input.substr(0, kMaxInputBytes);
    const bool compareMode = (flags & kBitCompareMode) != 0;

    TRegExpr re;
    if (!compareMode) {
        for (int m = 0; m < kModifierCount; ++m) re.SetModifier(m + 1, ((flags >> m) & 1) != 0);
    }
    re.SetMatchStepLimit(kFuzzStepLimit);
    re.SetExpression(pattern);
    bool budgetHit = false;
    try {
        re.Compile();
    } catch (const ERegExpr& e) {
        if (pattern.empty() && e.ErrorCode == regexpr_error::kNoExpression) return 0;
        if (e.ErrorCode <= 0 || e.ErrorCode >= regexpr_error::kFirstExecCode) {
            Fail("compilation error with a search code");
        }
        if (e.CompilerErrorPos < 0 || static_cast<size_t>(e.CompilerErrorPos) > pattern.size()) {
            Fail("compilation error position outside the pattern");
        }
        return 0;
    }
    try {
        // Matching stops at a character 0, so the text as the engine sees it ends there.
        const std::string_view seen = input.substr(0, input.find('\0'));
        bool found = re.Exec(input);
        if (found) CheckSlots(re, input);
        if (compareMode && InCompareSubset(pattern, seen) && seen.size() == input.size()) {
            CompareWithStdRegex(pattern, input, found, re);
        }
        size_t rounds = 0;
        while (found) {
            const int end = re.MatchPos(0) + re.MatchLen(0);
            found = re.ExecNext();
            if (!found) break;
            CheckSlots(re, input);
            if (re.MatchPos(0) < end) Fail("next match starts before the previous one ended");
            if (++rounds > input.size() + 1) Fail("matches do not come to an end");
        }
    } catch (const ERegExpr& e) {
        if (e.ErrorCode != regexpr_error::kStepLimitExceeded && e.ErrorCode != regexpr_error::kBacktrackStackExceeded &&
            e.ErrorCode != regexpr_error::kLoopStackExceeded) {
            std::fprintf(stderr, "error %d: %s\n", e.ErrorCode, e.what());
            Fail("search raised an unexpected error");
        }
        budgetHit = true;
    }
    // The extraction runs the same search with the default budget, so only searches that
    // finished within the small budget above are repeated through it.
    if (!budgetHit && !compareMode && (flags & kModifierBits) == kDefaultModifierBits &&
        input.size() <= kMaxExtractInputBytes) {
        const std::string first = TRegExExtract::ExtractMatches(input, pattern, true);
        const std::string all = TRegExExtract::ExtractMatches(input, pattern, false);
        if (all.substr(0, first.size()) != first) Fail("first match is not the start of all matches");
    }
    return 0;
}
