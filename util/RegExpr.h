// Regular expressions over single-byte text, used to pick firmware versions out of decoder
// banners. A pattern is compiled once into a small program; a search runs that program with a
// backtracking matcher whose backtrack stack lives on the heap, so long inputs cannot overflow
// the machine stack, and whose work per search is bounded, so a pathological pattern ends with
// an error instead of running for ever.
//
// Positions handed out by the engine (MatchPos, ExecPos offsets) count from 1, as the callers
// have always counted characters; the position carried by a compilation error is the 0-based
// offset in the pattern of the character at which compilation stopped (the pattern length when
// the pattern ended too early).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sincrovia {

/// Error codes of the engine. Codes below 1000 come from compilation and carry a position.
namespace regexpr_error {
inline constexpr int kNone = 0;
inline constexpr int kTooManyGroups = 102;
inline constexpr int kUnclosedGroup = 103;
inline constexpr int kUnopenedGroup = 104;
inline constexpr int kJunkOnEnd = 105;
inline constexpr int kOperandCouldBeEmpty = 106;
inline constexpr int kNestedQuantifier = 107;
inline constexpr int kBadHexDigit = 108;
inline constexpr int kInvalidRange = 109;
inline constexpr int kSetTrailingBackslash = 110;
inline constexpr int kNoHexCode = 111;
inline constexpr int kHexCodeTooBig = 112;
inline constexpr int kUnclosedSet = 113;
inline constexpr int kInternalUrp = 114;
inline constexpr int kQuantifierFollowsNothing = 115;
inline constexpr int kTrailingBackslash = 116;
inline constexpr int kAtomInternalDisaster = 119;
inline constexpr int kCountTooBig = 122;
inline constexpr int kCountMinAboveMax = 124;
inline constexpr int kUnclosedComment = 125;
inline constexpr int kUnknownModifier = 127;
inline constexpr int kBadLinePairedSeparator = 128;
/// First code raised while searching rather than while compiling.
inline constexpr int kFirstExecCode = 1000;
inline constexpr int kRepeatCalledInappropriately = 1000;
inline constexpr int kMemoryCorruption = 1001;
inline constexpr int kCorruptedPointers = 1002;
inline constexpr int kNoExpression = 1003;
inline constexpr int kCorruptedProgram = 1004;
inline constexpr int kNoInputString = 1005;
inline constexpr int kOffsetBelowOne = 1006;
inline constexpr int kExecNextWithoutExec = 1007;
inline constexpr int kUnknownModifierIndex = 1013;
inline constexpr int kLoopStackExceeded = 1014;
inline constexpr int kLoopWithoutEntry = 1015;
/// The search did more work than its step budget allows (see TRegExpr::SetMatchStepLimit).
inline constexpr int kStepLimitExceeded = 1016;
/// The search needed more backtrack entries than the engine allows.
inline constexpr int kBacktrackStackExceeded = 1017;
}  // namespace regexpr_error

/// Raised for every engine error: compilation errors, search errors and bad settings.
class ERegExpr : public std::runtime_error {
public:
    ERegExpr(int code, int position, const std::string& message)
        : std::runtime_error(message), ErrorCode(code), CompilerErrorPos(position) {}

    /// One of the regexpr_error codes.
    int ErrorCode;
    /// Offset in the pattern where compilation stopped; -1 for errors outside compilation.
    int CompilerErrorPos;
};

/// Case inversion used by case-insensitive matching: an upper-case letter gives its lower-case
/// form and the other way round; anything else comes back unchanged.
using TRegExprInvertCaseFunction = std::function<char(char)>;

/// The single-byte case inversion of the Windows-1252 code page that the program's texts use.
char RegExprInvertCaseCp1252(char ch);

namespace regexpr_detail {
struct Program;
struct Scratch;
}  // namespace regexpr_detail

/// A regular-expression engine over single-byte text with up to 14 capturing groups.
class TRegExpr {
public:
    /// Match slots: 0 is the whole match, 1 to kMaxGroups the groups.
    static constexpr int kMaxGroups = 14;
    static constexpr int kSlotCount = kMaxGroups + 1;

    /// Modifier numbers for Modifier / SetModifier.
    static constexpr int kModifierI = 1;  ///< case-insensitive (off)
    static constexpr int kModifierR = 2;  ///< Cyrillic ranges of code page 1251 (on)
    static constexpr int kModifierS = 3;  ///< dot matches line separators (on)
    static constexpr int kModifierG = 4;  ///< greedy quantifiers (on)
    static constexpr int kModifierM = 5;  ///< ^ and $ also at line breaks (off)
    static constexpr int kModifierX = 6;  ///< blanks and #-comments in the pattern ignored (off)

    /// Work a search may do before it gives up with kStepLimitExceeded: at least
    /// kMinMatchSteps, and kMatchStepsPerByte per byte of the searched text.
    static constexpr int64_t kMinMatchSteps = 20'000'000;
    static constexpr int64_t kMatchStepsPerByte = 256;

    /// Backtrack entries a search may hold before it gives up with kBacktrackStackExceeded.
    static constexpr size_t kMaxBacktrackEntries = size_t{8} << 20;

    /// An engine with the initial settings and no pattern.
    TRegExpr();
    ~TRegExpr();
    TRegExpr(const TRegExpr&) = delete;
    TRegExpr& operator=(const TRegExpr&) = delete;

    /// The pattern text.
    const std::string& Expression() const { return expression_; }
    /// Sets the pattern; compilation waits for the next search or Compile.
    void SetExpression(std::string_view expression);
    /// Compiles the pattern now (a no-op when it is compiled already). Raises ERegExpr.
    void Compile();

    /// Searches Input from its first character. True when a match was found.
    bool Exec(std::string_view input);
    /// Searches the current input again from where the last match ended (one character further
    /// after an empty match). Without a previous match: error 1007.
    bool ExecNext();
    /// Searches the current input from the 1-based Offset. Offset below 1: error 1006.
    bool ExecPos(int offset = 1);

    /// The text being searched (a private copy).
    const std::string& InputString() const { return input_; }
    /// Sets the text for ExecPos and clears the match slots.
    void SetInputString(std::string_view input);

    /// Text of match slot Index; empty when Index is outside 0..14, when there is no input or
    /// when the slot took no part in the match.
    std::string GroupText(int index) const;
    /// 1-based position of match slot Index in the input; -1 when the slot is not set.
    int MatchPos(int index) const;
    /// Length of match slot Index; -1 when the slot is not set.
    int MatchLen(int index) const;
    /// Number of the highest group that took part in the last match; -1 without a match.
    int SubExprMatchCount() const;

    /// Modifier flag by number (kModifierI..kModifierX); other numbers: error 1013.
    bool Modifier(int index) const;
    /// Sets a modifier flag by number; other numbers: error 1013.
    void SetModifier(int index, bool value);
    /// Each modifier flag by its letter; a change makes the next search compile again.
    bool ModifierI() const { return modifiers_[0]; }
    bool ModifierR() const { return modifiers_[1]; }
    bool ModifierS() const { return modifiers_[2]; }
    bool ModifierG() const { return modifiers_[3]; }
    bool ModifierM() const { return modifiers_[4]; }
    bool ModifierX() const { return modifiers_[5]; }
    void SetModifierI(bool v) { SetModifier(kModifierI, v); }
    void SetModifierR(bool v) { SetModifier(kModifierR, v); }
    void SetModifierS(bool v) { SetModifier(kModifierS, v); }
    void SetModifierG(bool v) { SetModifier(kModifierG, v); }
    void SetModifierM(bool v) { SetModifier(kModifierM, v); }
    void SetModifierX(bool v) { SetModifier(kModifierX, v); }

    /// Characters matched by \s. Every setter below makes the next search compile again.
    const std::string& SpaceChars() const { return spaceChars_; }
    void SetSpaceChars(std::string_view chars);
    /// Characters matched by \w and used for \b.
    const std::string& WordChars() const { return wordChars_; }
    void SetWordChars(std::string_view chars);
    /// Characters that end a line for ^, $ (with m) and dot (without s).
    const std::string& LineSeparators() const { return lineSeparators_; }
    void SetLineSeparators(std::string_view chars);
    /// Two-character line break counted as one ("\r\n" initially); empty turns it off.
    const std::string& LinePairedSeparator() const { return linePairedSeparator_; }
    /// Accepts two different characters or the empty string; anything else is error 128.
    void SetLinePairedSeparator(std::string_view pair);
    /// Case inversion used with the i modifier.
    void SetInvertCase(TRegExprInvertCaseFunction function);

    /// Bound on the work of one search, in matcher steps; 0 restores the default bound.
    void SetMatchStepLimit(int64_t steps) { matchStepLimit_ = steps; }

    /// Code of the last error raised by this engine (0 when none).
    int LastError() const { return lastError_; }
    /// Message of an error code: "No errors" for 0, "Unknown error" for codes without a text.
    static std::string ErrorText(int code);

private:
    [[noreturn]] void RaiseError(int code, int position = -1) const;
    void DropProgram();
    void ClearMatches();
    bool Search(size_t start);
    int64_t StepBudget(size_t inputLength) const;

    std::string expression_;
    std::shared_ptr<const regexpr_detail::Program> program_;
    std::array<bool, kModifierX> modifiers_{false, true, true, true, false, false};  // i r s g m x
    std::string spaceChars_;
    std::string wordChars_;
    std::string lineSeparators_;
    std::string linePairedSeparator_;
    TRegExprInvertCaseFunction invertCase_;

    std::string input_;
    bool hasInput_ = false;
    size_t inputEnd_ = 0;  // matching stops at the first character 0
    std::array<int, kSlotCount> matchStart_{};
    std::array<int, kSlotCount> matchEnd_{};
    bool hasMatch_ = false;

    mutable int lastError_ = 0;  // also recorded by const accessors that fail
    int64_t matchStepLimit_ = 0;
    std::unique_ptr<regexpr_detail::Scratch> scratch_;
};

}  // namespace sincrovia
