// Fuzz target: the configuration file of the decoder link. The input is written as "Lapix.ini"
// in a private temporary folder and read as a link reads it; the same bytes also go through
// the INI document directly (load, save, load again gives the same lines; a key written is read
// back) and through the integer conversion (compared with the C library on decimal texts).
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "decoder_link/GestFileIni.h"
#include "decoder_link/LinkSettings.h"
#include "util/DesktopServices.h"

namespace {

using namespace sincrovia;

// Bounds the settings must keep whatever the file says.
constexpr uint16_t kMaxMinRepeatToGo = 50;
constexpr int32_t kMinTimeNewRx = 1, kMaxTimeNewRx = 500;
constexpr int kMinPriority = 0, kMaxPriority = 3;
constexpr int32_t kMinBeepDelayMs = 10, kMaxBeepDelayMs = 10000;
constexpr int32_t kMaxIdRx = 250;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_settings: %s\n", what);
    std::abort();
}

RecordingDesktop& TheDesktop() {
    static RecordingDesktop desktop;
    static const bool installed = (SetDesktop(&desktop), true);
    (void)installed;
    return desktop;
}

const std::string& Folder() {
    static const std::string folder = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "sincrovia-fuzz-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) Fail("no temporary folder");
        return templ;
    }();
    return folder;
}

void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("cannot write the input file");
}

// A name or value that a write must give back unchanged when read: no line break, no blanks
// at its ends, nothing that reads as a section header, key separator, comment or quotes.
bool PlainSectionName(std::string_view s) {
    if (s.empty() || s.front() == ' ' || s.front() == '\t' || s.back() == ' ' || s.back() == '\t') {
        return false;
    }
    return s.find_first_of("\r\n]") == std::string_view::npos;
}

bool PlainKey(std::string_view s) {
    if (!PlainSectionName(s) || s.front() == ';') return false;
    return s.find_first_of("=[") == std::string_view::npos;
}

bool PlainValue(std::string_view s) {
    if (s.empty()) return true;
    if (s.front() == ' ' || s.front() == '\t' || s.back() == ' ' || s.back() == '\t') return false;
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
        return false;
    }
    return s.find_first_of("\r\n") == std::string_view::npos;
}

// A decimal text in the form the C library reads the same way: blanks, sign, digits only.
bool PlainDecimal(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    return true;
}

void CheckStrToInt(std::string_view text) {
    bool converted = true;
    int32_t value = 0;
    try {
        value = StrToInt(text);
    } catch (const ConversionError&) {
        converted = false;
    }
    if (!PlainDecimal(text)) return;
    const std::string copy(text);
    errno = 0;
    const long long expected = std::strtoll(copy.c_str(), nullptr, 10);
    const bool fits = errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX;
    if (fits != converted) Fail("StrToInt accepts a different range than strtoll");
    if (fits && value != expected) Fail("StrToInt differs from strtoll");
}

void CheckDocument(const std::string& path, std::string_view data) {
    IniFile first = IniFile::Load(path);
    const std::string copyPath = path + ".copy";
    first.Save(copyPath);
    const IniFile second = IniFile::Load(copyPath);
    // A second byte-order mark is kept as text by the first load and taken as the mark by the
    // next one: the only lines that may read back differently.
    const bool secondMark = !first.Lines().empty() && first.Lines().front().starts_with(kUtf8Bom);
    if (!secondMark && second.Lines() != first.Lines()) Fail("saved document reads back differently");

    // A key, section and value cut from the input itself.
    const size_t third = data.size() / 3;
    const std::string_view section = data.substr(0, std::min<size_t>(third, 16));
    const std::string_view key = data.substr(third, std::min<size_t>(third, 16));
    const std::string_view value = data.substr(2 * third, 32);
    if (PlainSectionName(section) && PlainKey(key) && PlainValue(value)) {
        first.Write(section, key, value);
        const auto got = first.Read(section, key);
        if (!got || *got != value) Fail("written key does not read back");
    }
    std::filesystem::remove(copyPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RecordingDesktop& desktop = TheDesktop();
    desktop.Clear();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = LapixIniPath(Folder());
    WriteFile(path, bytes);

    CheckStrToInt(bytes.substr(0, std::min<size_t>(size, 24)));
    CheckDocument(path, bytes);

    LinkSettings settings;
    SharedLinkSettings shared;
    bool complete = false;
    try {
        ReadLinkSettings(Folder(), settings, shared);
        complete = true;
    } catch (const AbortSignal&) {
        if (desktop.Boxes().size() != 1) Fail("abort without exactly one box");
    } catch (const ConversionError&) {
    } catch (const IniFileError&) {
        Fail("an existing readable file raised a file error");
    }
    // Values out of range are replaced whether or not the reading got to the end.
    if (shared.MinRepeatToGo > kMaxMinRepeatToGo) Fail("MinRepeatToGo out of range");
    if (shared.TimeNewRx < kMinTimeNewRx || shared.TimeNewRx > kMaxTimeNewRx) {
        Fail("TimeNewRx out of range");
    }
    if (settings.Priority < kMinPriority || settings.Priority > kMaxPriority) {
        Fail("Priority out of range");
    }
    if (settings.BeepDelayMs < kMinBeepDelayMs || settings.BeepDelayMs > kMaxBeepDelayMs) {
        Fail("BeepDelay out of range");
    }
    if (complete && StrToInt(settings.IdRx) > kMaxIdRx) Fail("IdRx above its maximum");
    std::filesystem::remove(path);
    return 0;
}
