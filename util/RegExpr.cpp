// Regular-expression engine: a recursive-descent parser turns the pattern into a small tree,
// the tree is emitted as a flat program, and a backtracking machine runs the program with its
// own heap stack of choice points and undo records. The tree is never deeper than the group
// limit allows, so the parser's recursion is bounded; the matcher never recurses at all.
#include "util/RegExpr.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace sincrovia {

namespace regexpr_detail {

using CharTable = std::array<uint8_t, 256>;

/// Instructions of a compiled program.
enum class Op : uint8_t {
    Char,             // a: byte
    Str,              // a: offset in the literal pool, b: length
    StrFold,          // the same, case-insensitive
    Set,              // a: set index
    Any,              // any character
    AnyNoSep,         // any character but a line break
    Bol,              // start of the input
    Eol,              // end of the input
    BolMulti,         // start of the input or of a line
    EolMulti,         // end of the input or of a line
    WordBoundary,     // \b
    NotWordBoundary,  // \B
    InputStart,       // \A
    InputEnd,         // \Z
    Open,             // a: group
    Close,            // a: group
    Split,            // try a, then b
    Jump,             // a: target
    SimpleRepeat,     // a: repeat index (quantified single-character operand)
    LoopInit,         // a: loop index
    LoopTest,         // a: loop index
    Backref,          // a: group
    BackrefFold,      // a: group, case-insensitive
    Match,
};

struct Inst {
    Op op;
    int32_t a;
    int32_t b;
};

/// A quantifier over an operand that matches exactly one character.
struct RepeatInfo {
    Op op;        // Char, Set, Any or AnyNoSep
    int32_t arg;  // byte or set index
    int32_t min;
    int32_t max;
    bool greedy;
    int32_t hint;  // byte that must follow the repetition, or -1
};

/// A quantifier over a compound operand, run with a counter.
struct LoopInfo {
    int32_t min;
    int32_t max;
    bool greedy;
    bool general;   // a count or a non-greedy quantifier: subject to the nesting limit
    int32_t depth;  // nesting of general loops, this one included
    int32_t bodyPc;
    int32_t exitPc;
};

inline constexpr uint32_t kProgramMagic = 0x52674578;

/// Literal bytes of a pattern looked for in the input before any start position is tried.
inline constexpr int kMaxRequiredBytes = 4;

/// A compiled pattern with the character tables it was compiled against. Immutable once built.
struct Program {
    uint32_t magic = kProgramMagic;
    std::vector<Inst> code;
    std::vector<CharTable> sets;
    std::string literals;
    std::string literalsInverted;  // literals with their case inverted, for StrFold
    std::vector<RepeatInfo> repeats;
    std::vector<LoopInfo> loops;
    int groupCount = 0;

    CharTable word{};
    CharTable lineSep{};
    CharTable invert{};
    bool hasPair = false;
    uint8_t pair0 = 0;
    uint8_t pair1 = 0;

    // Start-position filters.
    bool anchored = false;  // can only match at the start of the input
    bool skip = false;      // every match begins with a byte of `first`
    CharTable first{};
    int firstSingle = -1;                               // the only byte of `first`, when there is one
    std::array<uint8_t, kMaxRequiredBytes> required{};  // bytes every match contains
    int requiredCount = 0;
};

/// A backtrack entry: a choice point to resume or a change to undo.
struct Frame {
    int32_t kind;
    int32_t a;
    int32_t b;
    int32_t c;
};

/// Working memory of the matcher, kept between searches so that a search allocates nothing once
/// the stack has grown to the size it needs.
struct Scratch {
    std::vector<Frame> stack;
    std::vector<int32_t> loopCount;
    std::vector<int32_t> loopIter;
    std::array<int32_t, TRegExpr::kSlotCount> open{};
    std::array<int32_t, TRegExpr::kSlotCount> start{};
    std::array<int32_t, TRegExpr::kSlotCount> end{};
};

}  // namespace regexpr_detail

namespace {

using namespace regexpr_detail;
namespace err = regexpr_error;

constexpr int kByteCount = 256;
constexpr int32_t kInfiniteRepeat = 2147483646;  // a count without upper number
constexpr size_t kMaxCountDigits = 8;
constexpr int kMaxLoopNesting = 10;
constexpr int kMaxHexCode = 255;
constexpr int kHexRadix = 16;
constexpr int kDecimalRadix = 10;
constexpr int kMaxBackrefDigit = 9;
// Longest input the matcher's 32-bit positions can address; longer texts are searched up to it.
constexpr size_t kMaxInputLength = 0x7FFFFFF0;

// Control characters written as escapes.
constexpr char kTab = '\t';
constexpr char kNewLine = '\n';
constexpr char kReturn = '\r';
constexpr char kFormFeed = '\f';
constexpr char kBell = '\a';
constexpr char kEscape = '\x1B';

// Cyrillic letters of code page 1251, for the r modifier.
constexpr uint8_t kCyrUpperA = 0xC0;
constexpr uint8_t kCyrUpperYa = 0xDF;
constexpr uint8_t kCyrLowerA = 0xE0;
constexpr uint8_t kCyrLowerYa = 0xFF;
constexpr uint8_t kCyrUpperYo = 0xA8;
constexpr uint8_t kCyrLowerYo = 0xB8;

// Backtrack entry kinds.
constexpr int32_t kBranch = 0;        // resume at a, position b
constexpr int32_t kRestoreOpen = 1;   // group a opened at b
constexpr int32_t kRestoreGroup = 2;  // group a was b..c
constexpr int32_t kRestoreLoop = 3;   // loop a had count b, iteration start c
constexpr int32_t kLoopIterate = 4;   // run one more iteration of non-greedy loop a from b
constexpr int32_t kGreedyRep = 5;     // repeat at pc a from b took c: try fewer
constexpr int32_t kLazyRep = 6;       // repeat at pc a from b took c: try more

struct ErrorEntry {
    int code;
    const char* text;
};

constexpr ErrorEntry kErrorTexts[] = {
    {err::kNone, "No errors"},
    {err::kTooManyGroups, "TRegExpr(comp): ParseReg Too Many ()"},
    {err::kUnclosedGroup, "TRegExpr(comp): ParseReg Unmatched ()"},
    {err::kUnopenedGroup, "TRegExpr(comp): ParseReg Unmatched ()"},
    {err::kJunkOnEnd, "TRegExpr(comp): ParseReg Junk On End"},
    {err::kOperandCouldBeEmpty, "TRegExpr(comp): *+ Operand Could Be Empty"},
    {err::kNestedQuantifier, "TRegExpr(comp): Nested *?+"},
    {err::kBadHexDigit, "TRegExpr(comp): Bad Hex Digit"},
    {err::kInvalidRange, "TRegExpr(comp): Invalid [] Range"},
    {err::kSetTrailingBackslash, "TRegExpr(comp): Parse Atom Trailing \\"},
    {err::kNoHexCode, "TRegExpr(comp): No Hex Code After \\x"},
    {err::kHexCodeTooBig, "TRegExpr(comp): Hex Code After \\x Is Too Big"},
    {err::kUnclosedSet, "TRegExpr(comp): Unmatched []"},
    {err::kInternalUrp, "TRegExpr(comp): Internal Urp"},
    {err::kQuantifierFollowsNothing, "TRegExpr(comp): ?+*{ Follows Nothing"},
    {err::kTrailingBackslash, "TRegExpr(comp): Trailing \\"},
    {err::kAtomInternalDisaster, "TRegExpr(comp): RarseAtom Internal Disaster"},
    {err::kCountTooBig, "TRegExpr(comp): BRACES Argument Too Big"},
    {err::kCountMinAboveMax, "TRegExpr(comp): BRACE Min Param Greater then Max"},
    {err::kUnclosedComment, "TRegExpr(comp): Unclosed (?#Comment)"},
    {err::kUnknownModifier, "TRegExpr(comp): Urecognized Modifier"},
    {err::kBadLinePairedSeparator,
     "TRegExpr(comp): LinePairedSeparator must countain two different chars or no chars at all"},
    {err::kRepeatCalledInappropriately, "TRegExpr(exec): RegRepeat Called Inappropriately"},
    {err::kMemoryCorruption, "TRegExpr(exec): MatchPrim Memory Corruption"},
    {err::kCorruptedPointers, "TRegExpr(exec): MatchPrim Corrupted Pointers"},
    {err::kNoExpression, "TRegExpr(exec): Not Assigned Expression Property"},
    {err::kCorruptedProgram, "TRegExpr(exec): Corrupted Program"},
    {err::kNoInputString, "TRegExpr(exec): No Input String Specified"},
    {err::kOffsetBelowOne, "TRegExpr(exec): Offset Must Be Greater Then 0"},
    {err::kExecNextWithoutExec, "TRegExpr(exec): ExecNext Without Exec[Pos]"},
    {err::kLoopStackExceeded, "TRegExpr(exec): Loop Stack Exceeded"},
    {err::kLoopWithoutEntry, "TRegExpr(exec): Loop Without LoopEntry !"},
    {err::kStepLimitExceeded, "TRegExpr(exec): Match Step Limit Exceeded"},
    {err::kBacktrackStackExceeded, "TRegExpr(exec): Backtrack Stack Exceeded"},
};

/// An error found while compiling or matching, turned into ERegExpr by the engine.
struct EngineFault {
    int code;
    int position;
};

inline uint8_t Byte(char c) { return static_cast<uint8_t>(c); }

void AddChars(CharTable& t, std::string_view chars) {
    for (char c : chars) t[Byte(c)] = 1;
}

void AddTable(CharTable& t, const CharTable& other) {
    for (int c = 0; c < kByteCount; ++c) t[c] = static_cast<uint8_t>(t[c] | other[c]);
}

CharTable Complement(const CharTable& t) {
    CharTable out{};
    for (int c = 0; c < kByteCount; ++c) out[c] = t[c] ? 0 : 1;
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + kDecimalRadix;
    if (c >= 'A' && c <= 'F') return c - 'A' + kDecimalRadix;
    return -1;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

/// Tables the pattern is compiled against.
struct Context {
    CharTable space{};
    CharTable word{};
    CharTable lineSep{};
    CharTable invert{};
    bool hasPair = false;
    uint8_t pair0 = 0;
    uint8_t pair1 = 0;
};

/// Modifier flags in force at a point of the pattern.
struct Flags {
    bool i, r, s, g, m, x;
};

enum class NodeKind : uint8_t { Empty, Char, Set, Any, AnyNoSep, Assert, Group, Concat, Alt, Repeat, Backref };

struct Node {
    NodeKind kind = NodeKind::Empty;
    Op assertOp = Op::Match;  // Assert
    uint8_t ch = 0;           // Char
    bool fold = false;        // Char, Backref: case-insensitive
    int set = -1;             // Set
    int group = 0;            // Group, Backref
    int32_t min = 0;          // Repeat
    int32_t max = 0;
    bool greedy = true;
    bool counted = false;  // Repeat written as a count in curly brackets
    std::vector<int> kids;
    bool hasWidth = false;  // never matches the empty text
};

/// A braces count as scanned, before its numbers are checked.
struct CountScan {
    bool wellFormed = false;
    size_t end = 0;
    size_t minStart = 0;
    size_t minLength = 0;
    bool hasComma = false;
    size_t maxStart = 0;
    size_t maxLength = 0;
};

// Parses a pattern into a tree. Each group saves the modifier flags at its opening parenthesis
// and restores them at its closing one, so that "(?i)" acts up to the end of the enclosing
// group. Errors leave as EngineFault with the offset where parsing stopped.
class Parser {
public:
    Parser(std::string_view pattern, Flags flags, const Context& context)
        : pat_(pattern), flags_(flags), ctx_(context) {}

    int ParsePattern() {
        int root = ParseAlternation();
        if (!AtEnd()) {
            if (Peek() == ')') Fail(err::kUnopenedGroup, pos_);
            Fail(err::kJunkOnEnd, pos_);
        }
        return root;
    }

    std::vector<Node> nodes;
    std::vector<CharTable> sets;
    int groupCount = 0;

private:
    [[noreturn]] static void Fail(int code, size_t position) { throw EngineFault{code, static_cast<int>(position)}; }

    bool AtEnd() const { return pos_ >= pat_.size(); }
    char Peek() const { return pat_[pos_]; }

    int NewNode(NodeKind kind, bool hasWidth) {
        Node n;
        n.kind = kind;
        n.hasWidth = hasWidth;
        nodes.push_back(std::move(n));
        return static_cast<int>(nodes.size() - 1);
    }

    int Literal(char c) {
        int n = NewNode(NodeKind::Char, true);
        nodes[n].ch = Byte(c);
        nodes[n].fold = flags_.i && ctx_.invert[Byte(c)] != Byte(c);
        return n;
    }

    int SetNode(const CharTable& table) {
        sets.push_back(table);
        int n = NewNode(NodeKind::Set, true);
        nodes[n].set = static_cast<int>(sets.size() - 1);
        return n;
    }

    int AssertNode(Op op) {
        int n = NewNode(NodeKind::Assert, false);
        nodes[n].assertOp = op;
        return n;
    }

    // With x, blanks and #-comments between the tokens are not part of the pattern.
    void SkipExtended() {
        while (flags_.x && !AtEnd()) {
            char c = Peek();
            if (c == ' ' || c == kTab || c == kNewLine || c == kReturn) {
                ++pos_;
            } else if (c == '#') {
                while (!AtEnd() && !ctx_.lineSep[Byte(Peek())]) ++pos_;
                if (!AtEnd()) ++pos_;  // the line break ends the comment
            } else {
                break;
            }
        }
    }

    int ParseAlternation() {
        std::vector<int> branches;
        branches.push_back(ParseSequence());
        while (!AtEnd() && Peek() == '|') {
            ++pos_;
            branches.push_back(ParseSequence());
        }
        if (branches.size() == 1) return branches[0];
        bool allWide = std::all_of(branches.begin(), branches.end(), [this](int b) { return nodes[b].hasWidth; });
        int alt = NewNode(NodeKind::Alt, allWide);
        nodes[alt].kids = std::move(branches);
        return alt;
    }

    int ParseSequence() {
        std::vector<int> items;
        for (;;) {
            SkipExtended();
            if (AtEnd() || Peek() == '|' || Peek() == ')') break;
            int atom = ParseAtom();
            if (atom < 0) continue;  // a modifier group or a comment
            items.push_back(ParseQuantifier(atom));
        }
        if (items.empty()) return NewNode(NodeKind::Empty, false);
        if (items.size() == 1) return items[0];
        bool anyWide = std::any_of(items.begin(), items.end(), [this](int b) { return nodes[b].hasWidth; });
        int seq = NewNode(NodeKind::Concat, anyWide);
        nodes[seq].kids = std::move(items);
        return seq;
    }

    CountScan ScanCount(size_t at) const {
        CountScan scan;
        size_t p = at + 1;
        scan.minStart = p;
        while (p < pat_.size() && IsDigit(pat_[p])) ++p;
        scan.minLength = p - scan.minStart;
        if (scan.minLength == 0) return scan;
        if (p < pat_.size() && pat_[p] == ',') {
            scan.hasComma = true;
            ++p;
            scan.maxStart = p;
            while (p < pat_.size() && IsDigit(pat_[p])) ++p;
            scan.maxLength = p - scan.maxStart;
        }
        if (p >= pat_.size() || pat_[p] != '}') return scan;
        scan.wellFormed = true;
        scan.end = p + 1;
        return scan;
    }

    int32_t CountNumber(size_t start, size_t length) const {
        if (length > kMaxCountDigits) Fail(err::kCountTooBig, start);
        int32_t value = 0;
        for (size_t k = 0; k < length; ++k) value = value * kDecimalRadix + (pat_[start + k] - '0');
        return value;
    }

    bool QuantifierAhead() const {
        if (AtEnd()) return false;
        char c = Peek();
        return c == '*' || c == '+' || c == '?' || (c == '{' && ScanCount(pos_).wellFormed);
    }

    int ParseQuantifier(int atom) {
        SkipExtended();
        if (AtEnd()) return atom;
        size_t at = pos_;
        char c = Peek();
        int32_t min = 0;
        int32_t max = kInfiniteRepeat;
        bool counted = false;
        if (c == '*') {
            ++pos_;
        } else if (c == '+') {
            min = 1;
            ++pos_;
        } else if (c == '?') {
            max = 1;
            ++pos_;
        } else if (c == '{') {
            CountScan scan = ScanCount(pos_);
            if (!scan.wellFormed) return atom;
            min = CountNumber(scan.minStart, scan.minLength);
            if (!scan.hasComma) {
                max = min;
            } else if (scan.maxLength > 0) {
                max = CountNumber(scan.maxStart, scan.maxLength);
            }
            if (max < min) Fail(err::kCountMinAboveMax, at);
            counted = true;
            pos_ = scan.end;
        } else {
            return atom;
        }
        // A loop over something that can match nothing would never advance.
        if (c != '?' && !nodes[atom].hasWidth) Fail(err::kOperandCouldBeEmpty, at);
        SkipExtended();
        bool lazy = false;
        if (!AtEnd() && Peek() == '?') {
            lazy = true;
            ++pos_;
            SkipExtended();
        }
        if (QuantifierAhead()) Fail(err::kNestedQuantifier, pos_);
        int rep = NewNode(NodeKind::Repeat, min > 0 && nodes[atom].hasWidth);
        Node& n = nodes[rep];
        n.kids.push_back(atom);
        n.min = min;
        n.max = max;
        n.greedy = !lazy && flags_.g;
        n.counted = counted;
        return rep;
    }

    int ParseAtom() {
        size_t at = pos_;
        char c = Peek();
        switch (c) {
        case '^': ++pos_; return AssertNode(flags_.m ? Op::BolMulti : Op::Bol);
        case '$': ++pos_; return AssertNode(flags_.m ? Op::EolMulti : Op::Eol);
        case '.': ++pos_; return NewNode(flags_.s ? NodeKind::Any : NodeKind::AnyNoSep, true);
        case '[': ++pos_; return ParseSet();
        case '(': ++pos_; return ParseGroup(at);
        case '*':
        case '+':
        case '?': Fail(err::kQuantifierFollowsNothing, at);
        case '{':
            if (ScanCount(pos_).wellFormed) Fail(err::kQuantifierFollowsNothing, at);
            ++pos_;
            return Literal(c);
        case '\\': ++pos_; return ParseEscape();
        case '|':
        case ')':
            // The sequence loop stops on these before asking for an atom.
            Fail(err::kAtomInternalDisaster, at);
        default: ++pos_; return Literal(c);
        }
    }

    int ParseGroup(size_t at) {
        if (!AtEnd() && Peek() == '?') {
            ++pos_;
            if (!AtEnd() && Peek() == '#') {
                size_t close = pat_.find(')', pos_);
                if (close == std::string_view::npos) Fail(err::kUnclosedComment, pat_.size());
                pos_ = close + 1;
                return -1;
            }
            Flags f = flags_;
            bool on = true;
            for (;;) {
                if (AtEnd()) Fail(err::kUnclosedGroup, pat_.size());
                char m = Peek();
                if (m == ')') {
                    ++pos_;
                    break;
                }
                if (m == '-') {
                    on = false;
                    ++pos_;
                    continue;
                }
                bool* flag = FlagFor(f, m);
                if (flag == nullptr) Fail(err::kUnknownModifier, pos_);
                *flag = on;
                ++pos_;
            }
            flags_ = f;
            return -1;
        }
        if (groupCount >= TRegExpr::kMaxGroups) Fail(err::kTooManyGroups, at);
        int g = ++groupCount;
        Flags saved = flags_;
        int inner = ParseAlternation();
        if (AtEnd() || Peek() != ')') Fail(err::kUnclosedGroup, pos_);
        ++pos_;
        flags_ = saved;
        groupClosed_[g] = true;
        groupHasWidth_[g] = nodes[inner].hasWidth;
        int n = NewNode(NodeKind::Group, nodes[inner].hasWidth);
        nodes[n].group = g;
        nodes[n].kids.push_back(inner);
        return n;
    }

    static bool* FlagFor(Flags& f, char letter) {
        switch (letter) {
        case 'i':
        case 'I': return &f.i;
        case 'r':
        case 'R': return &f.r;
        case 's':
        case 'S': return &f.s;
        case 'g':
        case 'G': return &f.g;
        case 'm':
        case 'M': return &f.m;
        case 'x':
        case 'X': return &f.x;
        default: return nullptr;
        }
    }

    CharTable DigitTable() const {
        CharTable t{};
        for (char c = '0'; c <= '9'; ++c) t[Byte(c)] = 1;
        return t;
    }

    // pos_ stands after the backslash.
    int ParseEscape() {
        if (AtEnd()) Fail(err::kTrailingBackslash, pat_.size());
        char e = pat_[pos_++];
        switch (e) {
        case 'd': return SetNode(DigitTable());
        case 'D': return SetNode(Complement(DigitTable()));
        case 'w': return SetNode(ctx_.word);
        case 'W': return SetNode(Complement(ctx_.word));
        case 's': return SetNode(ctx_.space);
        case 'S': return SetNode(Complement(ctx_.space));
        case 'b': return AssertNode(Op::WordBoundary);
        case 'B': return AssertNode(Op::NotWordBoundary);
        case 'A': return AssertNode(Op::InputStart);
        case 'Z': return AssertNode(Op::InputEnd);
        default: break;
        }
        if (e >= '1' && e <= '0' + kMaxBackrefDigit) {
            int g = e - '0';
            // Only a closed group that never captures the empty text gives the reference width.
            bool wide = g <= groupCount && groupClosed_[g] && groupHasWidth_[g];
            int n = NewNode(NodeKind::Backref, wide);
            nodes[n].group = g;
            nodes[n].fold = flags_.i;
            return n;
        }
        return Literal(EscapedChar(e));
    }

    // The character written by a backslash and e; pos_ stands after e.
    char EscapedChar(char e) {
        switch (e) {
        case 't': return kTab;
        case 'n': return kNewLine;
        case 'r': return kReturn;
        case 'f': return kFormFeed;
        case 'a': return kBell;
        case 'e': return kEscape;
        case 'x': return ParseHex();
        default: return e;
        }
    }

    // \x followed by two hex digits or by hex digits in curly brackets; pos_ after the x.
    char ParseHex() {
        if (AtEnd()) Fail(err::kNoHexCode, pat_.size());
        int value = 0;
        if (Peek() == '{') {
            ++pos_;
            int digits = 0;
            for (;;) {
                if (AtEnd()) Fail(digits == 0 ? err::kNoHexCode : err::kBadHexDigit, pat_.size());
                char h = Peek();
                if (h == '}') break;
                int d = HexValue(h);
                if (d < 0) Fail(err::kBadHexDigit, pos_);
                value = value * kHexRadix + d;
                if (value > kMaxHexCode) Fail(err::kHexCodeTooBig, pos_);
                ++digits;
                ++pos_;
            }
            if (digits == 0) Fail(err::kNoHexCode, pos_);
            ++pos_;
            return static_cast<char>(value);
        }
        for (int k = 0; k < 2; ++k) {
            if (AtEnd()) Fail(k == 0 ? err::kNoHexCode : err::kBadHexDigit, pat_.size());
            int d = HexValue(Peek());
            if (d < 0) Fail(err::kBadHexDigit, pos_);
            value = value * kHexRadix + d;
            ++pos_;
        }
        return static_cast<char>(value);
    }

    /// One member of a bracket set: a single character or a class (\d, \s, \w).
    struct SetItem {
        bool isClass = false;
        uint8_t ch = 0;
        CharTable table{};
    };

    SetItem ParseSetItem() {
        SetItem item;
        char c = Peek();
        ++pos_;
        if (c != '\\') {
            item.ch = Byte(c);
            return item;
        }
        if (AtEnd()) Fail(err::kSetTrailingBackslash, pat_.size());
        char e = pat_[pos_++];
        if (e == 'd' || e == 's' || e == 'w') {
            item.isClass = true;
            item.table = e == 'd' ? DigitTable() : e == 's' ? ctx_.space : ctx_.word;
            return item;
        }
        item.ch = Byte(EscapedChar(e));
        return item;
    }

    void AddRange(CharTable& t, uint8_t lo, uint8_t hi, size_t hiAt) const {
        if (flags_.r && lo == kCyrLowerA && hi == kCyrLowerYa) {
            t[kCyrLowerYo] = 1;
        } else if (flags_.r && lo == kCyrUpperA && hi == kCyrUpperYa) {
            t[kCyrUpperYo] = 1;
        } else if (flags_.r && lo == kCyrLowerA && hi == kCyrUpperYa) {
            // Lower-case a to upper-case ya: the whole alphabet in both cases.
            t[kCyrLowerYo] = 1;
            t[kCyrUpperYo] = 1;
            lo = kCyrUpperA;
            hi = kCyrLowerYa;
        } else if (hi < lo) {
            Fail(err::kInvalidRange, hiAt);
        }
        for (int c = lo; c <= hi; ++c) t[c] = 1;
    }

    // pos_ stands after the opening bracket.
    int ParseSet() {
        CharTable t{};
        bool negate = false;
        if (!AtEnd() && Peek() == '^') {
            negate = true;
            ++pos_;
        }
        bool first = true;
        for (;;) {
            if (AtEnd()) Fail(err::kUnclosedSet, pat_.size());
            if (Peek() == ']' && !first) {
                ++pos_;
                break;
            }
            first = false;
            SetItem lo = ParseSetItem();
            if (lo.isClass) {
                AddTable(t, lo.table);
                continue;
            }
            if (pos_ + 1 < pat_.size() && Peek() == '-' && pat_[pos_ + 1] != ']') {
                ++pos_;
                size_t hiAt = pos_;
                SetItem hi = ParseSetItem();
                if (hi.isClass) {
                    // "a-\d" is no range: a, the dash and the digits.
                    t[lo.ch] = 1;
                    t[Byte('-')] = 1;
                    AddTable(t, hi.table);
                } else {
                    AddRange(t, lo.ch, hi.ch, hiAt);
                }
                continue;
            }
            t[lo.ch] = 1;
        }
        if (flags_.i) {
            CharTable folded = t;
            for (int c = 0; c < kByteCount; ++c) {
                if (t[c]) folded[ctx_.invert[c]] = 1;
            }
            t = folded;
        }
        return SetNode(negate ? Complement(t) : t);
    }

    std::string_view pat_;
    size_t pos_ = 0;
    Flags flags_;
    const Context& ctx_;
    std::array<bool, TRegExpr::kSlotCount> groupClosed_{};
    std::array<bool, TRegExpr::kSlotCount> groupHasWidth_{};
};

// Turns the tree into a flat program and works out the start-position filters.
class Emitter {
public:
    Emitter(const Parser& parser, Program& program) : nodes_(parser.nodes), prog_(program) {}

    void EmitPattern(int root) {
        Emit(root);
        Add(Op::Match);
        FillRepeatHints();
        AnalyseStart(root);
    }

private:
    int32_t Pc() const { return static_cast<int32_t>(prog_.code.size()); }

    int32_t Add(Op op, int32_t a = 0, int32_t b = 0) {
        prog_.code.push_back(Inst{op, a, b});
        return Pc() - 1;
    }

    int32_t AddSet(const CharTable& t) {
        prog_.sets.push_back(t);
        return static_cast<int32_t>(prog_.sets.size() - 1);
    }

    CharTable FoldedCharTable(uint8_t ch) const {
        CharTable t{};
        t[ch] = 1;
        t[prog_.invert[ch]] = 1;
        return t;
    }

    static bool IsSimple(const Node& n) {
        return n.kind == NodeKind::Char || n.kind == NodeKind::Set || n.kind == NodeKind::Any ||
               n.kind == NodeKind::AnyNoSep;
    }

    void EmitChars(const std::vector<int>& run) {
        const Node& firstNode = nodes_[run.front()];
        if (run.size() == 1) {
            if (firstNode.fold) {
                Add(Op::Set, AddSet(FoldedCharTable(firstNode.ch)));
            } else {
                Add(Op::Char, firstNode.ch);
            }
            return;
        }
        auto offset = static_cast<int32_t>(prog_.literals.size());
        for (int k : run) {
            prog_.literals.push_back(static_cast<char>(nodes_[k].ch));
            prog_.literalsInverted.push_back(static_cast<char>(prog_.invert[nodes_[k].ch]));
        }
        Add(firstNode.fold ? Op::StrFold : Op::Str, offset, static_cast<int32_t>(run.size()));
    }

    void Emit(int index) {
        const Node& n = nodes_[index];
        switch (n.kind) {
        case NodeKind::Empty: return;
        case NodeKind::Char: EmitChars({index}); return;
        case NodeKind::Set: Add(Op::Set, SetIndex(n)); return;
        case NodeKind::Any: Add(Op::Any); return;
        case NodeKind::AnyNoSep: Add(Op::AnyNoSep); return;
        case NodeKind::Assert: Add(n.assertOp); return;
        case NodeKind::Backref: Add(n.fold ? Op::BackrefFold : Op::Backref, n.group); return;
        case NodeKind::Group:
            Add(Op::Open, n.group);
            Emit(n.kids[0]);
            Add(Op::Close, n.group);
            return;
        case NodeKind::Concat: EmitConcat(n.kids); return;
        case NodeKind::Alt: EmitAlt(n.kids); return;
        case NodeKind::Repeat: EmitRepeat(n); return;
        }
        throw EngineFault{err::kInternalUrp, 0};
    }

    static int32_t SetIndex(const Node& n) { return n.set; }

    void EmitConcat(const std::vector<int>& kids) {
        std::vector<int> run;
        for (int k : kids) {
            const Node& n = nodes_[k];
            if (n.kind == NodeKind::Char && (run.empty() || nodes_[run.front()].fold == n.fold)) {
                run.push_back(k);
                continue;
            }
            if (!run.empty()) EmitChars(run);
            run.clear();
            if (n.kind == NodeKind::Char) {
                run.push_back(k);
            } else {
                Emit(k);
            }
        }
        if (!run.empty()) EmitChars(run);
    }

    void EmitAlt(const std::vector<int>& kids) {
        std::vector<int32_t> jumps;
        for (size_t k = 0; k + 1 < kids.size(); ++k) {
            int32_t split = Add(Op::Split, Pc() + 1, 0);
            Emit(kids[k]);
            jumps.push_back(Add(Op::Jump));
            prog_.code[static_cast<size_t>(split)].b = Pc();
        }
        Emit(kids.back());
        for (int32_t j : jumps) prog_.code[static_cast<size_t>(j)].a = Pc();
    }

    void EmitRepeat(const Node& n) {
        const Node& operand = nodes_[n.kids[0]];
        if (IsSimple(operand)) {
            RepeatInfo r{Op::Any, 0, n.min, n.max, n.greedy, -1};
            switch (operand.kind) {
            case NodeKind::Char:
                if (operand.fold) {
                    r.op = Op::Set;
                    r.arg = AddSet(FoldedCharTable(operand.ch));
                } else {
                    r.op = Op::Char;
                    r.arg = operand.ch;
                }
                break;
            case NodeKind::Set:
                r.op = Op::Set;
                r.arg = SetIndex(operand);
                break;
            case NodeKind::AnyNoSep: r.op = Op::AnyNoSep; break;
            default: r.op = Op::Any; break;
            }
            prog_.repeats.push_back(r);
            Add(Op::SimpleRepeat, static_cast<int32_t>(prog_.repeats.size() - 1));
            return;
        }
        if (n.min == 0 && n.max == 1 && n.greedy && !n.counted) {
            int32_t split = Add(Op::Split, Pc() + 1, 0);
            Emit(n.kids[0]);
            prog_.code[static_cast<size_t>(split)].b = Pc();
            return;
        }
        bool general = n.counted || !n.greedy;
        if (general) ++generalDepth_;
        auto loop = static_cast<int32_t>(prog_.loops.size());
        prog_.loops.push_back(LoopInfo{n.min, n.max, n.greedy, general, generalDepth_, 0, 0});
        Add(Op::LoopInit, loop);
        int32_t head = Add(Op::LoopTest, loop);
        prog_.loops[static_cast<size_t>(loop)].bodyPc = Pc();
        Emit(n.kids[0]);
        Add(Op::Jump, head);
        prog_.loops[static_cast<size_t>(loop)].exitPc = Pc();
        if (general) --generalDepth_;
    }

    // A greedy repetition followed by a literal only needs to stop where that literal is.
    void FillRepeatHints() {
        for (size_t pc = 0; pc < prog_.code.size(); ++pc) {
            if (prog_.code[pc].op != Op::SimpleRepeat) continue;
            size_t next = pc + 1;
            for (size_t hop = 0; hop < prog_.code.size() && next < prog_.code.size(); ++hop) {
                const Inst& in = prog_.code[next];
                if (in.op == Op::Open || in.op == Op::Close) {
                    ++next;
                } else if (in.op == Op::Jump) {
                    next = static_cast<size_t>(in.a);
                } else {
                    break;
                }
            }
            if (next >= prog_.code.size()) continue;
            const Inst& in = prog_.code[next];
            RepeatInfo& r = prog_.repeats[static_cast<size_t>(prog_.code[pc].a)];
            if (in.op == Op::Char) r.hint = in.a;
            if (in.op == Op::Str) r.hint = Byte(prog_.literals[static_cast<size_t>(in.a)]);
        }
    }

    // The set of bytes a match of node index can begin with; nullable when it may begin
    // without consuming one.
    void First(int index, CharTable& out, bool& nullable) const {
        const Node& n = nodes_[index];
        switch (n.kind) {
        case NodeKind::Empty:
        case NodeKind::Assert: nullable = true; return;
        case NodeKind::Char:
            out[n.ch] = 1;
            if (n.fold) out[prog_.invert[n.ch]] = 1;
            nullable = false;
            return;
        case NodeKind::Set:
            AddTable(out, prog_.sets[static_cast<size_t>(SetIndex(n))]);
            nullable = false;
            return;
        case NodeKind::Any:
            out.fill(1);
            nullable = false;
            return;
        case NodeKind::AnyNoSep:
            AddTable(out, Complement(prog_.lineSep));
            nullable = false;
            return;
        case NodeKind::Backref:
            out.fill(1);
            nullable = true;
            return;
        case NodeKind::Group: First(n.kids[0], out, nullable); return;
        case NodeKind::Repeat:
            First(n.kids[0], out, nullable);
            nullable = nullable || n.min == 0;
            return;
        case NodeKind::Concat:
            for (int k : n.kids) {
                bool kidNullable = false;
                First(k, out, kidNullable);
                if (!kidNullable) {
                    nullable = false;
                    return;
                }
            }
            nullable = true;
            return;
        case NodeKind::Alt:
            nullable = false;
            for (int k : n.kids) {
                bool kidNullable = false;
                First(k, out, kidNullable);
                nullable = nullable || kidNullable;
            }
            return;
        }
    }

    bool Anchored(int index) const {
        const Node& n = nodes_[index];
        switch (n.kind) {
        case NodeKind::Assert: return n.assertOp == Op::Bol || n.assertOp == Op::InputStart;
        case NodeKind::Group: return Anchored(n.kids[0]);
        case NodeKind::Concat: return Anchored(n.kids[0]);
        case NodeKind::Repeat: return n.min > 0 && Anchored(n.kids[0]);
        case NodeKind::Alt: return std::all_of(n.kids.begin(), n.kids.end(), [this](int k) { return Anchored(k); });
        default: return false;
        }
    }

    // The bytes every match of node index contains (literals outside optional parts).
    CharTable Required(int index) const {
        const Node& n = nodes_[index];
        CharTable out{};
        switch (n.kind) {
        case NodeKind::Char:
            if (!n.fold) out[n.ch] = 1;
            return out;
        case NodeKind::Group: return Required(n.kids[0]);
        case NodeKind::Repeat: return n.min > 0 ? Required(n.kids[0]) : out;
        case NodeKind::Concat:
            for (int k : n.kids) AddTable(out, Required(k));
            return out;
        case NodeKind::Alt:
            out = Required(n.kids[0]);
            for (int k : n.kids) {
                CharTable other = Required(k);
                for (int c = 0; c < kByteCount; ++c) out[c] = static_cast<uint8_t>(out[c] & other[c]);
            }
            return out;
        default: return out;
        }
    }

    void AnalyseStart(int root) {
        prog_.anchored = Anchored(root);
        CharTable first{};
        bool nullable = false;
        First(root, first, nullable);
        prog_.skip = !nullable;
        prog_.first = first;
        int count = 0;
        for (int c = 0; c < kByteCount; ++c) {
            if (first[c]) {
                ++count;
                prog_.firstSingle = c;
            }
        }
        if (count != 1) prog_.firstSingle = -1;
        CharTable required = Required(root);
        for (int c = 0; c < kByteCount && prog_.requiredCount < kMaxRequiredBytes; ++c) {
            if (required[c]) prog_.required[prog_.requiredCount++] = static_cast<uint8_t>(c);
        }
    }

    const std::vector<Node>& nodes_;
    Program& prog_;
    int32_t generalDepth_ = 0;
};

std::shared_ptr<const Program> CompileProgram(std::string_view pattern, Flags flags, const Context& ctx) {
    Parser parser(pattern, flags, ctx);
    int root = parser.ParsePattern();
    auto program = std::make_shared<Program>();
    program->word = ctx.word;
    program->lineSep = ctx.lineSep;
    program->invert = ctx.invert;
    program->hasPair = ctx.hasPair;
    program->pair0 = ctx.pair0;
    program->pair1 = ctx.pair1;
    program->groupCount = parser.groupCount;
    program->sets = parser.sets;  // set indexes of the tree stay valid; the emitter appends
    Emitter emitter(parser, *program);
    emitter.EmitPattern(root);
    return program;
}

// ---------------------------------------------------------------------------------------------
// The matcher. One call tries one start position: it runs the program, pushing a choice point
// for every alternative it may come back to and an undo record for every capture or counter it
// changes, and on failure pops back to the newest choice point.

class Matcher {
public:
    Matcher(const Program& program, Scratch& scratch, const uint8_t* text, int32_t end, int64_t& budget)
        : p_(program), sc_(scratch), s_(text), end_(end), budget_(budget) {}

    bool Run(int32_t startPos, int32_t& matchEnd) {
        auto& stack = sc_.stack;
        stack.clear();
        int32_t pc = 0;
        int32_t pos = startPos;
        const Inst* code = p_.code.data();
        for (;;) {
            if (--budget_ < 0) throw EngineFault{err::kStepLimitExceeded, -1};
            const Inst& in = code[pc];
            switch (in.op) {
            case Op::Char:
                if (pos < end_ && s_[pos] == in.a) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case Op::Str:
                if (end_ - pos >= in.b &&
                    std::memcmp(s_ + pos, p_.literals.data() + in.a, static_cast<size_t>(in.b)) == 0) {
                    pos += in.b;
                    ++pc;
                    continue;
                }
                break;
            case Op::StrFold:
                if (end_ - pos >= in.b && FoldEqual(pos, in.a, in.b)) {
                    pos += in.b;
                    ++pc;
                    continue;
                }
                break;
            case Op::Set:
                if (pos < end_ && p_.sets[static_cast<size_t>(in.a)][s_[pos]]) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case Op::Any:
                if (pos < end_) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case Op::AnyNoSep:
                if (pos < end_ && !IsLineBreakAt(pos)) {
                    ++pos;
                    ++pc;
                    continue;
                }
                break;
            case Op::Bol:
            case Op::InputStart:
                if (pos == 0) {
                    ++pc;
                    continue;
                }
                break;
            case Op::Eol:
            case Op::InputEnd:
                if (pos == end_) {
                    ++pc;
                    continue;
                }
                break;
            case Op::BolMulti:
                if (IsLineStart(pos)) {
                    ++pc;
                    continue;
                }
                break;
            case Op::EolMulti:
                if (IsLineEnd(pos)) {
                    ++pc;
                    continue;
                }
                break;
            case Op::WordBoundary:
            case Op::NotWordBoundary:
                if (IsWordBoundary(pos) == (in.op == Op::WordBoundary)) {
                    ++pc;
                    continue;
                }
                break;
            case Op::Open:
                Push(kRestoreOpen, in.a, sc_.open[static_cast<size_t>(in.a)], 0);
                sc_.open[static_cast<size_t>(in.a)] = pos;
                ++pc;
                continue;
            case Op::Close: {
                auto g = static_cast<size_t>(in.a);
                Push(kRestoreGroup, in.a, sc_.start[g], sc_.end[g]);
                sc_.start[g] = sc_.open[g];
                sc_.end[g] = pos;
                ++pc;
                continue;
            }
            case Op::Split:
                Push(kBranch, in.b, pos, 0);
                pc = in.a;
                continue;
            case Op::Jump: pc = in.a; continue;
            case Op::SimpleRepeat:
                if (StartRepeat(pc, pos)) continue;
                break;
            case Op::LoopInit: {
                const LoopInfo& li = Loop(in.a);
                if (li.general && li.depth > kMaxLoopNesting) throw EngineFault{err::kLoopStackExceeded, -1};
                auto l = static_cast<size_t>(in.a);
                Push(kRestoreLoop, in.a, sc_.loopCount[l], sc_.loopIter[l]);
                sc_.loopCount[l] = 0;
                sc_.loopIter[l] = -1;
                ++pc;
                continue;
            }
            case Op::LoopTest: pc = LoopStep(in.a, pos); continue;
            case Op::Backref:
            case Op::BackrefFold:
                if (MatchBackref(in.a, in.op == Op::BackrefFold, pos)) {
                    ++pc;
                    continue;
                }
                break;
            case Op::Match: matchEnd = pos; return true;
            default: throw EngineFault{err::kMemoryCorruption, -1};
            }
            if (!Backtrack(pc, pos)) return false;
        }
    }

private:
    void Push(int32_t kind, int32_t a, int32_t b, int32_t c) {
        if (sc_.stack.size() >= TRegExpr::kMaxBacktrackEntries) throw EngineFault{err::kBacktrackStackExceeded, -1};
        sc_.stack.push_back(Frame{kind, a, b, c});
    }

    const LoopInfo& Loop(int32_t index) const {
        if (index < 0 || static_cast<size_t>(index) >= p_.loops.size()) throw EngineFault{err::kCorruptedPointers, -1};
        return p_.loops[static_cast<size_t>(index)];
    }

    bool FoldEqual(int32_t pos, int32_t offset, int32_t length) const {
        const char* lit = p_.literals.data() + offset;
        const char* inv = p_.literalsInverted.data() + offset;
        for (int32_t k = 0; k < length; ++k) {
            char c = static_cast<char>(s_[pos + k]);
            if (c != lit[k] && c != inv[k]) return false;
        }
        return true;
    }

    // True at a character that dot must not match without s: a line separator, or the first
    // character of the paired separator when its second follows.
    bool IsLineBreakAt(int32_t pos) const {
        uint8_t c = s_[pos];
        if (p_.lineSep[c]) return true;
        return p_.hasPair && c == p_.pair0 && pos + 1 < end_ && s_[pos + 1] == p_.pair1;
    }

    bool InsidePair(int32_t pos) const {
        return p_.hasPair && pos > 0 && pos < end_ && s_[pos - 1] == p_.pair0 && s_[pos] == p_.pair1;
    }

    bool IsLineStart(int32_t pos) const {
        if (pos == 0) return true;
        if (InsidePair(pos)) return false;
        uint8_t prev = s_[pos - 1];
        if (p_.lineSep[prev]) return true;
        return p_.hasPair && prev == p_.pair1 && pos >= 2 && s_[pos - 2] == p_.pair0;
    }

    bool IsLineEnd(int32_t pos) const {
        if (pos == end_) return true;
        if (InsidePair(pos)) return false;
        uint8_t c = s_[pos];
        if (p_.lineSep[c]) return true;
        return p_.hasPair && c == p_.pair0 && pos + 1 < end_ && s_[pos + 1] == p_.pair1;
    }

    bool IsWordBoundary(int32_t pos) const {
        bool before = pos > 0 && p_.word[s_[pos - 1]];
        bool after = pos < end_ && p_.word[s_[pos]];
        return before != after;
    }

    bool MatchOne(const RepeatInfo& r, int32_t pos) const {
        switch (r.op) {
        case Op::Char: return s_[pos] == r.arg;
        case Op::Set: return p_.sets[static_cast<size_t>(r.arg)][s_[pos]] != 0;
        case Op::AnyNoSep: return !IsLineBreakAt(pos);
        default: return true;
        }
    }

    // How many characters from pos, at most limit, the operand of r matches one after the other.
    int32_t CountRun(const RepeatInfo& r, int32_t pos, int32_t limit) const {
        int32_t p = pos;
        int32_t stop = pos + limit;
        switch (r.op) {
        case Op::Char:
            while (p < stop && s_[p] == r.arg) ++p;
            break;
        case Op::Set: {
            const CharTable& t = p_.sets[static_cast<size_t>(r.arg)];
            while (p < stop && t[s_[p]]) ++p;
            break;
        }
        case Op::AnyNoSep:
            while (p < stop && !IsLineBreakAt(p)) ++p;
            break;
        default: p = stop; break;
        }
        return p - pos;
    }

    // Drops repetition counts after which the literal that must follow is absent.
    int32_t ApplyHint(const RepeatInfo& r, int32_t base, int32_t n) const {
        if (r.hint < 0) return n;
        while (n > r.min && (base + n >= end_ || s_[base + n] != r.hint)) --n;
        return n;
    }

    bool StartRepeat(int32_t& pc, int32_t& pos) {
        const RepeatInfo& r = p_.repeats[static_cast<size_t>(p_.code[static_cast<size_t>(pc)].a)];
        int32_t available = end_ - pos;
        if (r.greedy) {
            int32_t n = CountRun(r, pos, std::min(r.max, available));
            if (n < r.min) return false;
            n = ApplyHint(r, pos, n);
            if (n > r.min) Push(kGreedyRep, pc, pos, n);
            pos += n;
            ++pc;
            return true;
        }
        if (r.min > available || CountRun(r, pos, r.min) < r.min) return false;
        if (r.min < r.max) Push(kLazyRep, pc, pos, r.min);
        pos += r.min;
        ++pc;
        return true;
    }

    void Iterate(int32_t loop, int32_t pos) {
        auto l = static_cast<size_t>(loop);
        Push(kRestoreLoop, loop, sc_.loopCount[l], sc_.loopIter[l]);
        ++sc_.loopCount[l];
        sc_.loopIter[l] = pos;
    }

    // Decides at the head of a counted loop whether to run the body again; returns the next pc.
    int32_t LoopStep(int32_t loop, int32_t pos) {
        const LoopInfo& li = Loop(loop);
        auto l = static_cast<size_t>(loop);
        int32_t count = sc_.loopCount[l];
        if (count < 0) throw EngineFault{err::kLoopWithoutEntry, -1};
        // An iteration that consumed nothing would repeat for ever: the loop is done.
        if (count > 0 && pos == sc_.loopIter[l]) return li.exitPc;
        if (count < li.min) {
            Iterate(loop, pos);
            return li.bodyPc;
        }
        if (count >= li.max) return li.exitPc;
        if (li.greedy) {
            Push(kBranch, li.exitPc, pos, 0);
            Iterate(loop, pos);
            return li.bodyPc;
        }
        Push(kLoopIterate, loop, pos, 0);
        return li.exitPc;
    }

    bool MatchBackref(int32_t group, bool fold, int32_t& pos) const {
        auto g = static_cast<size_t>(group);
        int32_t from = sc_.start[g];
        if (from < 0) return false;
        int32_t length = sc_.end[g] - from;
        if (end_ - pos < length) return false;
        for (int32_t k = 0; k < length; ++k) {
            uint8_t want = s_[from + k];
            uint8_t got = s_[pos + k];
            if (got != want && !(fold && got == p_.invert[want])) return false;
        }
        pos += length;
        return true;
    }

    // Pops to the newest choice point and resumes there; false when none is left.
    bool Backtrack(int32_t& pc, int32_t& pos) {
        auto& stack = sc_.stack;
        while (!stack.empty()) {
            Frame f = stack.back();
            switch (f.kind) {
            case kBranch:
                stack.pop_back();
                pc = f.a;
                pos = f.b;
                return true;
            case kRestoreOpen:
                sc_.open[static_cast<size_t>(f.a)] = f.b;
                stack.pop_back();
                break;
            case kRestoreGroup:
                sc_.start[static_cast<size_t>(f.a)] = f.b;
                sc_.end[static_cast<size_t>(f.a)] = f.c;
                stack.pop_back();
                break;
            case kRestoreLoop:
                sc_.loopCount[static_cast<size_t>(f.a)] = f.b;
                sc_.loopIter[static_cast<size_t>(f.a)] = f.c;
                stack.pop_back();
                break;
            case kLoopIterate:
                stack.pop_back();
                Iterate(f.a, f.b);
                pc = Loop(f.a).bodyPc;
                pos = f.b;
                return true;
            case kGreedyRep: {
                const RepeatInfo& r = p_.repeats[static_cast<size_t>(p_.code[static_cast<size_t>(f.a)].a)];
                int32_t n = ApplyHint(r, f.b, f.c - 1);
                if (n > r.min) {
                    stack.back().c = n;
                } else {
                    stack.pop_back();
                }
                pc = f.a + 1;
                pos = f.b + n;
                return true;
            }
            case kLazyRep: {
                const RepeatInfo& r = p_.repeats[static_cast<size_t>(p_.code[static_cast<size_t>(f.a)].a)];
                int32_t at = f.b + f.c;
                if (f.c < r.max && at < end_ && MatchOne(r, at)) {
                    int32_t n = f.c + 1;
                    if (n < r.max) {
                        stack.back().c = n;
                    } else {
                        stack.pop_back();
                    }
                    pc = f.a + 1;
                    pos = f.b + n;
                    return true;
                }
                stack.pop_back();
                break;
            }
            default: throw EngineFault{err::kCorruptedPointers, -1};
            }
            if (--budget_ < 0) throw EngineFault{err::kStepLimitExceeded, -1};
        }
        return false;
    }

    const Program& p_;
    Scratch& sc_;
    const uint8_t* s_;
    int32_t end_;
    int64_t& budget_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

char RegExprInvertCaseCp1252(char ch) {
    // Windows-1252: ASCII letters, the Latin-1 letters at C0-DE / E0-FE (bar the multiplication
    // and division signs), and four letters in the 80-9F block.
    constexpr int kCaseDistance = 0x20;
    constexpr uint8_t kUpperLatin1First = 0xC0;
    constexpr uint8_t kUpperLatin1Last = 0xDE;
    constexpr uint8_t kMultiplicationSign = 0xD7;
    constexpr uint8_t kLowerLatin1First = 0xE0;
    constexpr uint8_t kLowerLatin1Last = 0xFE;
    constexpr uint8_t kDivisionSign = 0xF7;
    struct Pair {
        uint8_t upper, lower;
    };
    constexpr Pair kExtraPairs[] = {{0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E}, {0x9F, 0xFF}};

    uint8_t c = Byte(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= kUpperLatin1First && c <= kUpperLatin1Last && c != kMultiplicationSign)) {
        return static_cast<char>(c + kCaseDistance);
    }
    for (const Pair& p : kExtraPairs) {
        if (c == p.upper) return static_cast<char>(p.lower);
        if (c == p.lower) return static_cast<char>(p.upper);
    }
    if ((c >= 'a' && c <= 'z') || (c >= kLowerLatin1First && c <= kLowerLatin1Last && c != kDivisionSign)) {
        return static_cast<char>(c - kCaseDistance);
    }
    return ch;
}

TRegExpr::TRegExpr()
    : spaceChars_(" \t\n\r\f"),
      wordChars_("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_"),
      lineSeparators_("\r\n"),
      linePairedSeparator_("\r\n"),
      invertCase_(RegExprInvertCaseCp1252),
      scratch_(std::make_unique<Scratch>()) {
    ClearMatches();
}

TRegExpr::~TRegExpr() = default;

std::string TRegExpr::ErrorText(int code) {
    for (const ErrorEntry& e : kErrorTexts) {
        if (e.code == code) return e.text;
    }
    return "Unknown error";
}

void TRegExpr::RaiseError(int code, int position) const {
    lastError_ = code;
    std::string message = ErrorText(code);
    if (code < err::kFirstExecCode) {
        if (position < 0) position = 0;
        message += " (pos " + std::to_string(position) + ")";
    }
    throw ERegExpr(code, position, message);
}

void TRegExpr::DropProgram() { program_.reset(); }

void TRegExpr::ClearMatches() {
    matchStart_.fill(-1);
    matchEnd_.fill(-1);
    hasMatch_ = false;
}

void TRegExpr::SetExpression(std::string_view expression) {
    if (program_ && expression == expression_) return;
    expression_.assign(expression);
    DropProgram();
}

void TRegExpr::Compile() {
    if (program_) return;
    if (expression_.empty()) RaiseError(err::kNoExpression);
    Context ctx;
    AddChars(ctx.space, spaceChars_);
    AddChars(ctx.word, wordChars_);
    AddChars(ctx.lineSep, lineSeparators_);
    for (int c = 0; c < kByteCount; ++c) ctx.invert[c] = Byte(invertCase_(static_cast<char>(c)));
    if (linePairedSeparator_.size() == 2) {
        ctx.hasPair = true;
        ctx.pair0 = Byte(linePairedSeparator_[0]);
        ctx.pair1 = Byte(linePairedSeparator_[1]);
    }
    Flags flags{modifiers_[0], modifiers_[1], modifiers_[2], modifiers_[3], modifiers_[4], modifiers_[5]};
    try {
        program_ = CompileProgram(expression_, flags, ctx);
    } catch (const EngineFault& fault) {
        RaiseError(fault.code, fault.position);
    }
}

bool TRegExpr::Exec(std::string_view input) {
    SetInputString(input);
    return Search(0);
}

void TRegExpr::SetInputString(std::string_view input) {
    input_.assign(input);
    hasInput_ = true;
    size_t nul = input_.find('\0');
    inputEnd_ = std::min(nul == std::string::npos ? input_.size() : nul, kMaxInputLength);
    ClearMatches();
}

bool TRegExpr::ExecNext() {
    if (!hasMatch_) RaiseError(err::kExecNextWithoutExec);
    auto start = static_cast<size_t>(matchEnd_[0]);
    if (matchEnd_[0] == matchStart_[0]) ++start;
    ClearMatches();
    return Search(start);
}

bool TRegExpr::ExecPos(int offset) {
    if (offset < 1) RaiseError(err::kOffsetBelowOne);
    ClearMatches();
    return Search(static_cast<size_t>(offset) - 1);
}

int64_t TRegExpr::StepBudget(size_t inputLength) const {
    if (matchStepLimit_ > 0) return matchStepLimit_;
    return std::max(kMinMatchSteps, kMatchStepsPerByte * static_cast<int64_t>(inputLength));
}

namespace {

// False when one of the bytes every match contains no longer occurs from pos on.
bool RequiredBytesAhead(const Program& prog, const uint8_t* text, int32_t pos, int32_t end,
                        std::array<int32_t, kMaxRequiredBytes>& seenAt) {
    for (size_t k = 0; k < static_cast<size_t>(prog.requiredCount); ++k) {
        if (seenAt[k] >= pos) continue;
        const void* hit = std::memchr(text + pos, prog.required[k], static_cast<size_t>(end - pos));
        if (hit == nullptr) return false;
        seenAt[k] = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - text);
    }
    return true;
}

}  // namespace

bool TRegExpr::Search(size_t start) {
    Compile();
    if (!hasInput_) RaiseError(err::kNoInputString);
    const Program& prog = *program_;
    if (prog.magic != kProgramMagic) RaiseError(err::kCorruptedProgram);
    if (start > inputEnd_) return false;

    Scratch& sc = *scratch_;
    sc.loopCount.assign(prog.loops.size(), -1);
    sc.loopIter.assign(prog.loops.size(), -1);
    sc.open.fill(-1);
    sc.start.fill(-1);
    sc.end.fill(-1);

    const auto* text = reinterpret_cast<const uint8_t*>(input_.data());
    auto end = static_cast<int32_t>(inputEnd_);
    int64_t budget = StepBudget(inputEnd_);
    Matcher matcher(prog, sc, text, end, budget);
    // Where each required byte was last seen: a match starting beyond that needs a later one.
    std::array<int32_t, kMaxRequiredBytes> requiredAt;
    requiredAt.fill(-1);
    try {
        for (auto pos = static_cast<int32_t>(start); pos <= end; ++pos) {
            if (prog.anchored && pos != 0) break;
            if (prog.skip) {
                if (pos >= end) break;
                if (prog.firstSingle >= 0) {
                    const void* hit = std::memchr(text + pos, prog.firstSingle, static_cast<size_t>(end - pos));
                    if (hit == nullptr) break;
                    pos = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - text);
                } else {
                    while (pos < end && !prog.first[text[pos]]) ++pos;
                    if (pos >= end) break;
                }
            }
            if (!RequiredBytesAhead(prog, text, pos, end, requiredAt)) break;
            int32_t matchEnd = 0;
            if (matcher.Run(pos, matchEnd)) {
                matchStart_[0] = pos;
                matchEnd_[0] = matchEnd;
                for (int g = 1; g <= prog.groupCount; ++g) {
                    auto gi = static_cast<size_t>(g);
                    matchStart_[gi] = sc.start[gi];
                    matchEnd_[gi] = sc.end[gi];
                }
                hasMatch_ = true;
                return true;
            }
        }
    } catch (const EngineFault& fault) {
        ClearMatches();
        RaiseError(fault.code, fault.position);
    }
    return false;
}

std::string TRegExpr::GroupText(int index) const {
    if (index < 0 || index >= kSlotCount || !hasInput_) return {};
    auto i = static_cast<size_t>(index);
    if (matchStart_[i] < 0 || matchEnd_[i] < matchStart_[i]) return {};
    return input_.substr(static_cast<size_t>(matchStart_[i]), static_cast<size_t>(matchEnd_[i] - matchStart_[i]));
}

int TRegExpr::MatchPos(int index) const {
    if (index < 0 || index >= kSlotCount || !hasInput_) return -1;
    int start = matchStart_[static_cast<size_t>(index)];
    return start < 0 ? -1 : start + 1;
}

int TRegExpr::MatchLen(int index) const {
    if (index < 0 || index >= kSlotCount || !hasInput_) return -1;
    auto i = static_cast<size_t>(index);
    return matchStart_[i] < 0 ? -1 : matchEnd_[i] - matchStart_[i];
}

int TRegExpr::SubExprMatchCount() const {
    if (!hasMatch_) return -1;
    for (int g = kMaxGroups; g > 0; --g) {
        if (matchStart_[static_cast<size_t>(g)] >= 0) return g;
    }
    return 0;
}

bool TRegExpr::Modifier(int index) const {
    if (index < kModifierI || index > kModifierX) RaiseError(err::kUnknownModifierIndex);
    return modifiers_[static_cast<size_t>(index - 1)];
}

void TRegExpr::SetModifier(int index, bool value) {
    if (index < kModifierI || index > kModifierX) RaiseError(err::kUnknownModifierIndex);
    auto i = static_cast<size_t>(index - 1);
    if (modifiers_[i] == value) return;
    modifiers_[i] = value;
    DropProgram();
}

void TRegExpr::SetSpaceChars(std::string_view chars) {
    spaceChars_.assign(chars);
    DropProgram();
}

void TRegExpr::SetWordChars(std::string_view chars) {
    wordChars_.assign(chars);
    DropProgram();
}

void TRegExpr::SetLineSeparators(std::string_view chars) {
    lineSeparators_.assign(chars);
    DropProgram();
}

void TRegExpr::SetLinePairedSeparator(std::string_view pair) {
    bool valid = pair.empty() || (pair.size() == 2 && pair[0] != pair[1]);
    if (!valid) RaiseError(err::kBadLinePairedSeparator, 0);
    linePairedSeparator_.assign(pair);
    DropProgram();
}

void TRegExpr::SetInvertCase(TRegExprInvertCaseFunction function) {
    invertCase_ = function ? std::move(function) : TRegExprInvertCaseFunction(RegExprInvertCaseCp1252);
    DropProgram();
}

}  // namespace sincrovia
