#include "util/LeggiVerPrg.h"

#include <cctype>
#include <fstream>
#include <string_view>
#include <vector>

#ifndef SINCROVIA_FILE_VERSION
#define SINCROVIA_FILE_VERSION "0.0.0.0"
#endif

namespace sincrovia {

namespace {

#define SINCROVIA_VERSION_PREFIX "\x01SincroviaFileVersion="

// The version record as it lies in the program file: a prefix that ordinary text does not
// contain, the version, and a terminating zero byte. Marked used so that no optimisation
// drops it from the file, where FileVersionOf looks for it.
[[gnu::used]] constexpr char kVersionRecord[] = SINCROVIA_VERSION_PREFIX SINCROVIA_FILE_VERSION;
// Length of the prefix alone (the literal's terminating zero not counted).
constexpr size_t kPrefixLength = sizeof(SINCROVIA_VERSION_PREFIX) - 1;
// A version text longer than this is not a version record.
constexpr size_t kMaxVersionLength = 64;
// Bytes read from the file at a time.
constexpr size_t kChunkSize = size_t{1} << 20;

bool IsVersionChar(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.'; }

// Checks the bytes after a prefix: version characters ended by a zero byte. Returns the
// version, or an empty text when the bytes are not a version record; sets complete to false
// when the buffer ends before the record can be judged.
std::string VersionAfterPrefix(std::string_view rest, bool& complete) {
    complete = true;
    for (size_t k = 0; k < rest.size() && k <= kMaxVersionLength; ++k) {
        if (rest[k] == '\0') return std::string(rest.substr(0, k));
        if (!IsVersionChar(rest[k])) return {};
    }
    complete = rest.size() <= kMaxVersionLength;
    return {};
}

}  // namespace

std::string FileVersionOf(const std::string& fileName) {
    // The record may straddle two reads: the tail of every chunk that could hold an unfinished
    // record is carried over to the next one.
    std::ifstream file(fileName, std::ios::binary);
    if (!file) return {};
    const std::string_view prefix = FileVersionMarker();
    const size_t carry = kPrefixLength + kMaxVersionLength + 1;
    std::string window;
    std::vector<char> chunk(kChunkSize);
    bool atEnd = false;
    while (!atEnd) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(file.gcount());
        atEnd = got < chunk.size();
        window.append(chunk.data(), got);
        size_t pos = 0;
        while ((pos = window.find(prefix, pos)) != std::string::npos) {
            bool complete = true;
            std::string version = VersionAfterPrefix(std::string_view(window).substr(pos + kPrefixLength), complete);
            if (!version.empty()) return version;
            // An unfinished record lies within the carried tail and is judged after the next read.
            if (!complete) break;
            ++pos;
        }
        window.erase(0, window.size() > carry ? window.size() - carry : 0);
    }
    return {};
}

// The marker is taken from the record itself, so the program file holds it only once.
std::string_view FileVersionMarker() { return {kVersionRecord, kPrefixLength}; }

std::string BuiltFileVersion() { return std::string(kVersionRecord + kPrefixLength); }

}  // namespace sincrovia
