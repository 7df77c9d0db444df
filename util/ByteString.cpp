#include "util/ByteString.h"

#include <array>
#include <cstdint>

namespace sincrovia {

namespace {

constexpr unsigned char kFirstTableByte = 0x80;
constexpr unsigned char kLastTableByte = 0x9F;
constexpr char kReplacement = '?';

// Code points of the bytes 0x80..0x9F. The five bytes that the code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same number, so every byte
// survives a round trip.
constexpr std::array<char32_t, kLastTableByte - kFirstTableByte + 1> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98..9F
};

void AppendUtf8(std::string& out, char32_t cp) {
    constexpr char32_t kMax1 = 0x7F, kMax2 = 0x7FF, kMax3 = 0xFFFF;
    constexpr unsigned kLead2 = 0xC0, kLead3 = 0xE0, kLead4 = 0xF0, kCont = 0x80, kSix = 0x3F;
    if (cp <= kMax1) {
        out += static_cast<char>(cp);
    } else if (cp <= kMax2) {
        out += static_cast<char>(kLead2 | (cp >> 6));
        out += static_cast<char>(kCont | (cp & kSix));
    } else if (cp <= kMax3) {
        out += static_cast<char>(kLead3 | (cp >> 12));
        out += static_cast<char>(kCont | ((cp >> 6) & kSix));
        out += static_cast<char>(kCont | (cp & kSix));
    } else {
        out += static_cast<char>(kLead4 | (cp >> 18));
        out += static_cast<char>(kCont | ((cp >> 12) & kSix));
        out += static_cast<char>(kCont | ((cp >> 6) & kSix));
        out += static_cast<char>(kCont | (cp & kSix));
    }
}

// Reads one UTF-8 sequence at i; a malformed, overlong or truncated sequence and a surrogate
// yield false and advance by one byte, so that bad input costs one '?' per bad byte.
bool ReadUtf8(std::string_view s, size_t& i, char32_t& cp) {
    const auto lead = static_cast<unsigned char>(s[i]);
    size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        ++i;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1Fu;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0Fu;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07u;
        min = 0x10000;
    } else {
        ++i;
        return false;
    }
    if (i + length > s.size()) {
        ++i;
        return false;
    }
    for (size_t k = 1; k < length; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return false;
        }
        cp = (cp << 6) | (c & 0x3Fu);
    }
    constexpr char32_t kSurrogateFirst = 0xD800, kSurrogateLast = 0xDFFF, kMaxCodePoint = 0x10FFFF;
    if (cp < min || cp > kMaxCodePoint || (cp >= kSurrogateFirst && cp <= kSurrogateLast)) {
        ++i;
        return false;
    }
    i += length;
    return true;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= kFirstTableByte && b <= kLastTableByte) {
            AppendUtf8(out, kHighTable[b - kFirstTableByte]);
        } else {
            AppendUtf8(out, b);
        }
    }
    return out;
}

ByteString Utf8ToCp1252(std::string_view utf8) {
    ByteString out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        char32_t cp = 0;
        if (!ReadUtf8(utf8, i, cp)) {
            out += kReplacement;
            continue;
        }
        constexpr char32_t kLatin1Last = 0xFF;
        if (cp < kFirstTableByte || (cp > kLastTableByte && cp <= kLatin1Last)) {
            out += static_cast<char>(cp);
            continue;
        }
        char mapped = kReplacement;
        for (size_t k = 0; k < kHighTable.size(); ++k) {
            if (kHighTable[k] == cp) {
                mapped = static_cast<char>(kFirstTableByte + k);
                break;
            }
        }
        out += mapped;
    }
    return out;
}

}  // namespace sincrovia
