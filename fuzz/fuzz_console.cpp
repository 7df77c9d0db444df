// Fuzz target: the decoder console's hex input ("decode"). A technician pastes whatever the
// capture tool wrote: spaced or packed hex, line breaks, stray words, half bytes. The console
// must either decode every record of it or name the first bad token and fail with status 1;
// never crash, never hang on a long capture, and never read bytes the text did not hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "decoder_link/DecoderConsole.h"

namespace {

using namespace sincrovia;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_console: %s\n", what);
    std::abort();
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string HexOf(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    constexpr int kNibbleBits = 4;
    constexpr unsigned kNibbleMask = 0x0F;
    std::string text;
    for (char b : bytes) {
        const auto v = static_cast<unsigned char>(b);
        text += kDigits[v >> kNibbleBits];
        text += kDigits[v & kNibbleMask];
        text += ' ';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // The parser alone: one byte per two hex digits, and the bytes written back parse again.
    bool parsed = true;
    try {
        const std::string bytes = ParseHexBytes(input);
        std::size_t digits = 0;
        for (char c : input) digits += IsHexDigit(c) ? 1 : 0;
        if (bytes.size() * 2 != digits) Fail("byte count differs from the hex digits given");
        if (ParseHexBytes(HexOf(bytes)) != bytes) Fail("bytes written back do not parse again");
    } catch (const std::invalid_argument&) {
        parsed = false;
    }

    // The whole subcommand on that input: status 0 when the text parsed, 1 when it did not.
    std::istringstream in(input);
    std::ostringstream out, err;
    const int status = RunDecoderConsole({"decode"}, {in, out, err});
    if (status != (parsed ? kConsoleOk : kConsoleFailed)) Fail("decode status does not follow the parse");
    if (!parsed && err.str().empty()) Fail("a refused input without a message");
    return 0;
}
