#include "util/SysFormat.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace sincrovia {

namespace {

// Significant digits of %e and %g when no precision is given, and their upper bound.
constexpr int kDefaultSignificantDigits = 15;
constexpr int kMaxSignificantDigits = 18;
// Decimals of %f, %n and %m when no precision is given, and their upper bound.
constexpr int kDefaultDecimals = 2;
constexpr int kMaxDecimals = 18;
// Minimum digits of the exponent written by %e and %g.
constexpr int kExponentDigits = 3;
// Hexadecimal digits of %p.
constexpr int kPointerDigits = 8;
// A width or precision above this is a mistake in the pattern or its arguments.
constexpr int64_t kMaxWidth = 65'536;
constexpr char kThousandSeparator = ',';
constexpr char kDecimalSeparator = '.';
constexpr const char* kCurrencySymbol = "$";

// One conversion as read from the pattern: "%" [index ":"] ["-"] [width] ["." precision] type.
struct Conversion {
    bool leftJustify = false;
    int width = 0;
    int precision = -1;  // -1: none given
    char type = 0;       // upper case
};

class Formatter {
public:
    Formatter(std::string_view pattern, std::initializer_list<FormatArg> args)
        : pattern_(pattern), args_(args.begin()), argCount_(args.size()) {}

    // Walks the pattern once: literal text is copied, each '%' starts a conversion that
    // consumes its arguments in order (or from an explicit index).
    std::string Run() {
        std::string out;
        size_t i = 0;
        while (i < pattern_.size()) {
            const size_t percent = pattern_.find('%', i);
            if (percent == std::string_view::npos) {
                out.append(pattern_.substr(i));
                break;
            }
            out.append(pattern_.substr(i, percent - i));
            i = percent + 1;
            if (i < pattern_.size() && pattern_[i] == '%') {
                out += '%';
                ++i;
                continue;
            }
            const size_t convStart = percent;
            const Conversion conv = ParseConversion(i, convStart);
            out += Convert(conv, convStart, i);
        }
        return out;
    }

private:
    [[noreturn]] void Fail(size_t convStart, size_t convEnd) const {
        const size_t end = std::min(convEnd, pattern_.size());
        throw FormatError("Format '" + std::string(pattern_.substr(convStart, end - convStart)) +
                          "' invalid or incompatible with argument");
    }

    const FormatArg& NextArg(size_t convStart, size_t convEnd) {
        if (nextArg_ >= argCount_) Fail(convStart, convEnd);
        return args_[nextArg_++];
    }

    // Reads digits or '*' for a width or precision; -1 when neither is there.
    int64_t ReadNumber(size_t& i, size_t convStart) {
        if (i < pattern_.size() && pattern_[i] == '*') {
            ++i;
            const auto* v = std::get_if<int64_t>(&NextArg(convStart, i).value());
            if (v == nullptr) Fail(convStart, i);
            return *v;
        }
        if (i >= pattern_.size() || !std::isdigit(static_cast<unsigned char>(pattern_[i]))) {
            return -1;
        }
        int64_t n = 0;
        while (i < pattern_.size() && std::isdigit(static_cast<unsigned char>(pattern_[i]))) {
            n = n * 10 + (pattern_[i] - '0');
            if (n > kMaxWidth) Fail(convStart, i + 1);
            ++i;
        }
        return n;
    }

    Conversion ParseConversion(size_t& i, size_t convStart) {
        Conversion conv;
        // An index ("%1:s") sets which argument comes next.
        size_t probe = i;
        while (probe < pattern_.size() && std::isdigit(static_cast<unsigned char>(pattern_[probe]))) {
            ++probe;
        }
        if (probe > i && probe < pattern_.size() && pattern_[probe] == ':') {
            const int64_t index = ReadNumber(i, convStart);
            nextArg_ = static_cast<size_t>(index);
            ++i;  // the ':'
        } else if (i < pattern_.size() && pattern_[i] == ':') {
            nextArg_ = 0;
            ++i;
        }
        if (i < pattern_.size() && pattern_[i] == '-') {
            conv.leftJustify = true;
            ++i;
        }
        int64_t width = ReadNumber(i, convStart);
        if (width < 0 && i > convStart + 1 && pattern_[i - 1] == '*') {
            // A negative width from the arguments left-justifies.
            conv.leftJustify = true;
            width = -width;
        }
        if (width > kMaxWidth) Fail(convStart, i);
        conv.width = width < 0 ? 0 : static_cast<int>(width);
        if (i < pattern_.size() && pattern_[i] == '.') {
            ++i;
            const int64_t precision = ReadNumber(i, convStart);
            if (precision > kMaxWidth) Fail(convStart, i);
            conv.precision = precision < 0 ? -1 : static_cast<int>(precision);
        }
        if (i >= pattern_.size()) Fail(convStart, i);
        conv.type = static_cast<char>(std::toupper(static_cast<unsigned char>(pattern_[i])));
        ++i;
        return conv;
    }

    std::string Convert(const Conversion& conv, size_t convStart, size_t convEnd) {
        std::string text;
        switch (conv.type) {
        case 'D':
        case 'U':
        case 'X':
        case 'P': text = FormatInteger(conv, IntegerArg(convStart, convEnd)); break;
        case 'E':
        case 'F':
        case 'G':
        case 'N':
        case 'M': text = FormatFloat(conv, FloatArg(convStart, convEnd)); break;
        case 'S': {
            const auto* s = std::get_if<std::string>(&NextArg(convStart, convEnd).value());
            if (s == nullptr) Fail(convStart, convEnd);
            text = conv.precision >= 0 && static_cast<size_t>(conv.precision) < s->size()
                       ? s->substr(0, static_cast<size_t>(conv.precision))
                       : *s;
            break;
        }
        default: Fail(convStart, convEnd);
        }
        if (text.size() < static_cast<size_t>(conv.width)) {
            const size_t pad = static_cast<size_t>(conv.width) - text.size();
            if (conv.leftJustify) {
                text.append(pad, ' ');
            } else {
                text.insert(0, pad, ' ');
            }
        }
        return text;
    }

    int64_t IntegerArg(size_t convStart, size_t convEnd) {
        const auto* v = std::get_if<int64_t>(&NextArg(convStart, convEnd).value());
        if (v == nullptr) Fail(convStart, convEnd);
        return *v;
    }

    double FloatArg(size_t convStart, size_t convEnd) {
        const auto* v = std::get_if<double>(&NextArg(convStart, convEnd).value());
        if (v == nullptr) Fail(convStart, convEnd);
        return *v;
    }

    static std::string FormatInteger(const Conversion& conv, int64_t value) {
        std::string digits;
        bool negative = false;
        int minDigits = conv.precision < 1 ? 1 : conv.precision;
        switch (conv.type) {
        case 'D':
            negative = value < 0;
            // Through unsigned arithmetic, so that the most negative value has a magnitude.
            digits = std::to_string(negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
            break;
        case 'U': digits = std::to_string(static_cast<uint64_t>(value)); break;
        default: {  // 'X' and 'P'
            // A negative 32-bit number shows its 32-bit pattern, as an int argument would.
            const bool fits32 = value < 0 && value >= std::numeric_limits<int32_t>::min();
            const uint64_t bits = fits32 ? static_cast<uint32_t>(value) : static_cast<uint64_t>(value);
            static constexpr char kHex[] = "0123456789ABCDEF";
            constexpr unsigned kNibbleBits = 4;
            constexpr uint64_t kNibbleMask = 0xF;
            uint64_t rest = bits;
            do {
                digits.insert(digits.begin(), kHex[rest & kNibbleMask]);
                rest >>= kNibbleBits;
            } while (rest != 0);
            if (conv.type == 'P') minDigits = kPointerDigits;
            break;
        }
        }
        if (static_cast<int>(digits.size()) < minDigits) {
            digits.insert(0, static_cast<size_t>(minDigits) - digits.size(), '0');
        }
        return negative ? "-" + digits : digits;
    }

    // Digits and decimal exponent of a value rounded to a number of significant digits:
    // value = 0.d1d2d3... * 10^(exponent + 1), digits without trailing zeros.
    static void SignificantDigits(double magnitude, int significant, std::string& digits, int& exponent) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", significant - 1, magnitude);
        const std::string text = buf;
        const size_t e = text.find('e');
        digits.clear();
        for (size_t k = 0; k < e; ++k) {
            if (std::isdigit(static_cast<unsigned char>(text[k]))) digits += text[k];
        }
        exponent = std::atoi(text.c_str() + e + 1);
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    }

    static std::string ExponentText(int exponent, bool alwaysSign) {
        std::string out = "E";
        if (exponent < 0) {
            out += '-';
        } else if (alwaysSign) {
            out += '+';
        }
        std::string digits = std::to_string(exponent < 0 ? -exponent : exponent);
        if (digits.size() < static_cast<size_t>(kExponentDigits)) {
            digits.insert(0, static_cast<size_t>(kExponentDigits) - digits.size(), '0');
        }
        return out + digits;
    }

    static std::string Fixed(double magnitude, int decimals) {
        char buf[512];
        std::snprintf(buf, sizeof buf, "%.*f", decimals, magnitude);
        return buf;
    }

    static std::string Grouped(const std::string& fixed) {
        const size_t point = fixed.find('.');
        std::string integer = fixed.substr(0, point);
        const std::string rest = point == std::string::npos ? "" : fixed.substr(point);
        constexpr size_t kGroup = 3;
        for (size_t k = integer.size(); k > kGroup; k -= kGroup) {
            integer.insert(k - kGroup, 1, kThousandSeparator);
        }
        return integer + rest;
    }

    static std::string FormatFloat(const Conversion& conv, double value) {
        if (std::isnan(value)) return "NAN";
        if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
        const double magnitude = std::fabs(value);
        std::string body;
        switch (conv.type) {
        case 'E': {
            const int significant =
                conv.precision < 1 ? kDefaultSignificantDigits : std::min(conv.precision, kMaxSignificantDigits);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.*E", significant - 1, magnitude);
            std::string text = buf;
            const size_t e = text.find('E');
            body = text.substr(0, e) + ExponentText(std::atoi(text.c_str() + e + 1), true);
            break;
        }
        case 'G': {
            const int significant =
                conv.precision < 1 ? kDefaultSignificantDigits : std::min(conv.precision, kMaxSignificantDigits);
            if (magnitude == 0.0) return "0";
            std::string digits;
            int exponent = 0;
            SignificantDigits(magnitude, significant, digits, exponent);
            // Plain notation for ordinary magnitudes, scientific for the very large and small.
            constexpr int kSmallestPlainExponent = -5;
            if (exponent >= significant || exponent < kSmallestPlainExponent + 1) {
                body = digits.substr(0, 1);
                if (digits.size() > 1) body += kDecimalSeparator + digits.substr(1);
                body += ExponentText(exponent, false);
            } else if (exponent < 0) {
                body = "0" + std::string(1, kDecimalSeparator) + std::string(static_cast<size_t>(-exponent - 1), '0') +
                       digits;
            } else {
                const auto intDigits = static_cast<size_t>(exponent) + 1;
                if (digits.size() <= intDigits) {
                    body = digits + std::string(intDigits - digits.size(), '0');
                } else {
                    body = digits.substr(0, intDigits) + kDecimalSeparator + digits.substr(intDigits);
                }
            }
            break;
        }
        case 'F':
            body = Fixed(magnitude, conv.precision < 0 ? kDefaultDecimals : std::min(conv.precision, kMaxDecimals));
            break;
        case 'N':
            body = Grouped(
                Fixed(magnitude, conv.precision < 0 ? kDefaultDecimals : std::min(conv.precision, kMaxDecimals)));
            break;
        default:  // 'M'
            body = kCurrencySymbol +
                   Grouped(Fixed(magnitude,
                                 conv.precision < 0 ? kDefaultDecimals : std::min(conv.precision, kMaxDecimals)));
            break;
        }
        // A value that rounds to zero is written without a sign.
        const bool allZero = body.find_first_of("123456789") == std::string::npos;
        return value < 0 && !allZero ? "-" + body : body;
    }

    std::string_view pattern_;
    const FormatArg* args_;
    size_t argCount_;
    size_t nextArg_ = 0;
};

}  // namespace

std::string SysFormat(std::string_view pattern, std::initializer_list<FormatArg> args) {
    return Formatter(pattern, args).Run();
}

}  // namespace sincrovia
