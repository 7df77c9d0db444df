// The version text of a program file on Windows: the "FileVersion" string of the file's version
// resource, in the language and code page that the resource's translation table names first
// (the build writes Italian, code page 1252: \StringFileInfo\041004E4\FileVersion).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "util/LeggiVerPrg.h"

#ifndef SINCROVIA_FILE_VERSION
#define SINCROVIA_FILE_VERSION "0.0.0.0"
#endif

namespace sincrovia {

namespace {

// One entry of the translation table: language, then code page.
struct Translation {
    WORD language;
    WORD codePage;
};

// Room for "\StringFileInfo\" + eight hexadecimal digits + "\FileVersion" and its zero.
constexpr std::size_t kQueryLength = 48;

}  // namespace

std::string FileVersionOf(const std::string& fileName) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(fileName.c_str(), &ignored);
    if (size == 0) return {};  // no version resource, or no such file
    std::vector<char> info(size);
    if (!::GetFileVersionInfoA(fileName.c_str(), 0, size, info.data())) return {};

    void* found = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &found, &length) || found == nullptr ||
        length < sizeof(Translation))
        return {};
    Translation first{};
    std::memcpy(&first, found, sizeof first);

    // The words are taken unsigned: a language or code page of 0x8000 and above keeps its four
    // digits (a signed reading would widen it to eight and never be found).
    char query[kQueryLength];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04X%04X\\FileVersion", static_cast<unsigned>(first.language),
                  static_cast<unsigned>(first.codePage));
    found = nullptr;
    length = 0;
    if (!::VerQueryValueA(info.data(), query, &found, &length) || found == nullptr) return {};
    // The length counts characters, the terminating zero included when there is one.
    const char* text = static_cast<const char*>(found);
    return std::string(text, ::strnlen(text, length));
}

std::string BuiltFileVersion() { return SINCROVIA_FILE_VERSION; }

// Windows keeps the version in the version resource, not in a marked record of the file: there
// is no marker.
std::string_view FileVersionMarker() { return {}; }

}  // namespace sincrovia
