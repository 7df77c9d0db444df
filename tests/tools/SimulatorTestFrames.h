// Command frames as the program builds them, for the simulator tests: head, checksum (the
// halved byte sum unless given), CR LF.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "util/ByteString.h"

namespace sincrovia::simtest {

/// Bytes from a list of values 0..255.
inline ByteString Bytes(std::initializer_list<int> values) {
    ByteString s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

/// `head` followed by its checksum (halved byte sum, or `checksum` when given) and CR LF.
inline ByteString Frame(ByteString head, long checksum = -1) {
    uint32_t sum = 0;
    for (char c : head) sum += static_cast<uint8_t>(c);
    const auto value = checksum < 0 ? sum / 2 : static_cast<uint32_t>(checksum);
    for (int shift = 24; shift >= 0; shift -= 8) head.push_back(static_cast<char>((value >> shift) & 0xFF));
    head += "\r\n";
    return head;
}

/// A command without payload for reader `id`.
inline ByteString Cmd(int code, int id = 1) { return Frame(Bytes({0, code, id})); }

}  // namespace sincrovia::simtest
