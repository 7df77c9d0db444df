// Fuzz target: the restore of the port choice from "MemCom.set". The file beside the program
// may hold anything (a crash while it was written, an editor's mistake, binary junk); reading
// it must never fail, must choose only what a line "CmbCOMPort_n=port" named, and what the
// window writes back from a choice must read again as the same choice.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/Decisions.h"
#include "util/ByteString.h"

namespace {

using namespace sincrovia;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_memcom: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const ComSelection selection = ParseComSelection(content);

    std::array<std::string, SlotCount> ports;
    for (std::size_t i = 0; i < selection.size(); ++i) {
        if (!selection[i]) continue;
        const std::string& port = *selection[i];
        if (port.find('\n') != std::string::npos) Fail("a port text spans two lines");
        // A chosen port is text of the file (the name's letter case is free, the value is not).
        if (content.find(port) == std::string_view::npos) Fail("a port text that is not in the file");
        // The window shows the port in its list and writes the list's text back.
        if (Utf8ToCp1252(Cp1252ToUtf8(port)) != port) Fail("port text changed on its way through the list");
        ports[i] = port;
    }

    // Written back and read again: the same choice (an empty text is no choice).
    const ComSelection again = ParseComSelection(FormatComSelection(ports));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const bool chosen = !ports[i].empty();
        if (chosen != again[i].has_value()) Fail("a slot's choice changed when written and read again");
        if (chosen && *again[i] != ports[i]) Fail("a port text changed when written and read again");
    }

    // The slot of any name taken from the input lies in 0..4.
    const std::size_t eq = content.find('=');
    const int slot = PortListSlot(content.substr(0, eq == std::string_view::npos ? content.size() : eq));
    if (slot < 0 || slot > SlotCount) Fail("slot number out of range");
    return 0;
}
