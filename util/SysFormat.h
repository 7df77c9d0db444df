// printf-style formatting with the semantics the decoder texts were written for, which differ
// from C's in places: %d with a precision pads with zeros, %x is upper case, %s with a precision
// cuts, %G prints up to 15 significant digits without an exponent for ordinary magnitudes,
// and a mismatched argument is an error rather than undefined behaviour.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace sincrovia {

/// Raised by SysFormat for a bad pattern or an argument of the wrong kind or count.
class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One argument of SysFormat: an integer, a floating-point number or a text.
class FormatArg {
public:
    FormatArg(int v) : value_(static_cast<int64_t>(v)) {}
    FormatArg(unsigned v) : value_(static_cast<int64_t>(v)) {}
    FormatArg(long v) : value_(static_cast<int64_t>(v)) {}
    FormatArg(unsigned long v) : value_(static_cast<int64_t>(v)) {}
    FormatArg(long long v) : value_(static_cast<int64_t>(v)) {}
    FormatArg(unsigned long long v) : value_(static_cast<int64_t>(v)) {}
    FormatArg(double v) : value_(v) {}
    FormatArg(const char* v) : value_(std::string(v)) {}
    FormatArg(std::string v) : value_(std::move(v)) {}
    FormatArg(std::string_view v) : value_(std::string(v)) {}

    /// The held value.
    const std::variant<int64_t, double, std::string>& value() const { return value_; }

private:
    std::variant<int64_t, double, std::string> value_;
};

/// Formats like the system's Format: %[-][width][.precision]{d,u,x,e,f,g,n,m,s,p} and %%,
/// with '*' for width or precision taken from the arguments.
std::string SysFormat(std::string_view pattern, std::initializer_list<FormatArg> args);

}  // namespace sincrovia
