// Fuzz target: the intake of a decoder's reply text. Every text a link delivers is either a
// firmware reply (it carries the banner) or a passage text "transponder-yy-mm-dd-hh-nn-ss-zzz"
// that becomes the decoder's date and time. The input goes through the same plain functions the
// window calls, and the checks are the promises those functions make: only the announced
// failures, a version that looks like a version, fields that join back into the text, and a
// date-time that decodes back into the fields it was built from.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/Decisions.h"
#include "util/DateTime.h"

namespace {

using namespace sincrovia;

// The window's own constants live in a header that needs the toolkit; these are the same texts.
constexpr std::string_view kFirmwareBanner = "teKAN - teVO Ver: ";
constexpr std::string_view kMinimumFirmware = "6.33.1";
constexpr char kTimeBoxPattern[] = "hh\"h \"nn\"m \"ss\"s \"zzz\"ms\"";
constexpr char kDateBoxPattern[] = "dd mmm yyyy\"";
constexpr int kYearBase = 2000;
constexpr int kYearModulus = 65536;  // the year is kept as a 16-bit value
constexpr long long kFirstYearOfPositiveValues = 1900;
constexpr std::size_t kLongestVersion = 8;  // "99.99.99"

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_reply: %s\n", what);
    std::abort();
}

void CheckFirmware(std::string_view text) {
    const std::string version = ExtractFirmwareVersion(text);
    if (version.size() > kLongestVersion) Fail("version longer than the pattern allows");
    for (char c : version)
        if ((c < '0' || c > '9') && c != '.') Fail("version with a character the pattern excludes");
    if (!version.empty() && text.find(version) == std::string_view::npos) Fail("version not taken from the text");
    if (version.empty() && !FirmwareBelowMinimum(version, kMinimumFirmware)) Fail("no version passed the minimum");
    (void)FirmwareBelowMinimum(version, version);
}

void CheckPassage(std::string_view text) {
    const std::vector<std::string> fields = SplitFields(text);
    std::string joined;
    for (std::size_t i = 0; i < fields.size(); ++i) joined += (i == 0 ? "" : "-") + fields[i];
    if (joined != text) Fail("fields do not join back into the text");

    try {
        const TDateTime value = FieldsToDateTime(fields);
        // Built from valid fields, so every field read back must match (year modulo 16 bits).
        const DateTimeFields back = DecodeDateTime(value);
        const long long year = std::stoll(fields[1]);
        const long long expectedYear = ((year + kYearBase) % kYearModulus + kYearModulus) % kYearModulus;
        // Before 1900 the value is negative and, as with every value of this kind, a time added
        // to a negative date reads back differently; decoders' two-digit years never get there.
        if (expectedYear >= kFirstYearOfPositiveValues &&
            (back.year != expectedYear || back.month != std::stoi(fields[2]) || back.day != std::stoi(fields[3]) ||
             back.hour != std::stoi(fields[4]) || back.minute != std::stoi(fields[5]) ||
             back.second != std::stoi(fields[6]) || back.millisecond != std::stoi(fields[7])))
            Fail("date-time does not decode back into its fields");
        (void)FormatDateTime(kDateBoxPattern, value);
        (void)FormatDateTime(kTimeBoxPattern, value);
    } catch (const ReadingError&) {
    } catch (const DateTimeError&) {}

    try {
        const uint32_t number = TransponderNumber(fields);
        const std::string accepted = TransponderAcceptedText(number);
        if (accepted.find(std::to_string(number)) == std::string::npos) Fail("number missing from the log text");
        (void)TransponderRejectedText(number, number);
    } catch (const ReadingError&) {
        // A transponder field that is no number goes to the program's handler, by design.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Any exception other than the announced ones escapes and is reported as a finding.
    if (text.find(kFirmwareBanner) != std::string::npos)
        CheckFirmware(text);
    else
        CheckPassage(text);
    return 0;
}
