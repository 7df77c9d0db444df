// The record cutter as first written: each scan restarts from the front of the buffer and, when
// nothing fits, moves its starting point one byte and searches again, so garbage costs time in
// the square of its length. Kept as the plain reference that the cutter's tests and fuzz target
// compare the link's cutter against, and as the yardstick of its benchmarks; the link itself
// never uses it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sincrovia::literal {

/// How a scan goes on after a start that is not a record.
enum class Advance {
    OneByte,    ///< one byte further, searching again from there (the original loop)
    PastStart,  ///< straight past the start just rejected (same records, linear in garbage)
};

/// One scan over `buffer` for the records 0x00 `type` ... CR LF of `length` bytes. Each record
/// found is removed and then handed to `onRecord(const std::string&)`. Positions count from 1
/// as in the original loop: `from` is where the next search for the marker begins.
template <typename OnRecord>
void Scan(std::string& buffer, char type, size_t length, Advance advance, OnRecord&& onRecord) {
    const char marker[2] = {'\0', type};
    const std::string_view markerText(marker, sizeof marker);
    size_t from = 1;
    for (;;) {
        if (buffer.size() < 2 || from >= buffer.size() - 1 || buffer.size() < length) break;
        const size_t found = buffer.find(markerText, from - 1);
        if (found == std::string::npos) {
            if (advance == Advance::PastStart) break;  // no later search can find one either
            ++from;
            continue;
        }
        const size_t start = found + 1;  // 1-based position of the 0x00 byte
        const size_t last = start + length - 1;
        const bool complete = last <= buffer.size() && buffer[last - 2] == '\r' && buffer[last - 1] == '\n';
        if (!complete) {
            from = advance == Advance::OneByte ? from + 1 : start + 1;
            continue;
        }
        std::string record = buffer.substr(start - 1, length);
        buffer.erase(start - 1, length);
        onRecord(record);
    }
}

}  // namespace sincrovia::literal
