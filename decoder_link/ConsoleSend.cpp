#include "decoder_link/ConsoleSend.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iostream>
#include <iterator>
#include <optional>

#include "decoder_link/SFormCOM_TestConnessione.h"
#include "util/DateTime.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

// Longest listening time accepted (one hour).
constexpr int kMaxListenMs = 3'600'000;
// Slice of one wait of the listening loop.
constexpr std::chrono::milliseconds kServeSlice(50);

enum class SendCmd { Firmware, SetDateTime, ResetTimer, ManualLap, ResetGps };

struct NamedSend {
    std::string_view name;
    SendCmd command;
};
constexpr NamedSend kSendCommands[] = {
    {"firmware", SendCmd::Firmware},    {"set-datetime", SendCmd::SetDateTime}, {"reset-timer", SendCmd::ResetTimer},
    {"manual-lap", SendCmd::ManualLap}, {"reset-gps", SendCmd::ResetGps},
};

// Where the link's callback prints (the callback is a plain procedure).
std::ostream* g_textOut = nullptr;

void PrintText(const ByteString& text, int /*reserved*/) {
    if (g_textOut != nullptr) *g_textOut << text << '\n' << std::flush;
}

// The link's memo: every line goes to the error stream.
class PrintingMemo : public TMemoLines {
public:
    explicit PrintingMemo(std::ostream& out) : out_(out) {}
    void AddLine(const ByteString& line) override { out_ << line << '\n' << std::flush; }

private:
    std::ostream& out_;
};

std::optional<std::string> Value(const std::vector<std::string>& args, size_t& i, std::string_view name) {
    const std::string& arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) throw ConsoleUsageError{std::string(name) + " needs a value"};
        return args[++i];
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=')
        return arg.substr(name.size() + 1);
    return std::nullopt;
}

int ParseListen(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 || value > kMaxListenMs)
        throw ConsoleUsageError{"bad listening time: '" + text + "'"};
    return value;
}

}  // namespace

int RunSendCommand(const std::vector<std::string>& args, ConsoleStreams& io) {
    std::optional<std::string> port;
    std::optional<SendCmd> command;
    std::optional<TDateTime> when;
    int listenMs = kDefaultListenMs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            io.out << "usage: sincrovia-console " << kSendUsage;
            return kConsoleOk;
        }
        if (const auto p = Value(args, i, "--port")) {
            if (p->empty()) throw ConsoleUsageError{"--port needs a name"};
            port = *p;
        } else if (const auto w = Value(args, i, "--when")) {
            when = ParseConsoleDateTime(*w);
        } else if (const auto l = Value(args, i, "--listen")) {
            listenMs = ParseListen(*l);
        } else if (!arg.empty() && arg[0] == '-') {
            throw ConsoleUsageError{"unknown option '" + arg + "'"};
        } else if (command) {
            throw ConsoleUsageError{"one command only: '" + arg + "'"};
        } else {
            const auto* found = std::find_if(std::begin(kSendCommands), std::end(kSendCommands),
                                             [&](const NamedSend& c) { return c.name == arg; });
            if (found == std::end(kSendCommands)) throw ConsoleUsageError{"unknown command '" + arg + "'"};
            command = found->command;
        }
    }
    if (!port) throw ConsoleUsageError{"send needs --port NAME"};
    if (!command) throw ConsoleUsageError{"send needs a command"};

    // The link's events arrive through the main-thread hand-over, served below.
    SetMainThread();
    PrintingMemo memo(io.err);
    g_textOut = &io.out;
    struct ClearOut {
        ~ClearOut() { g_textOut = nullptr; }
    } clearOut;
    TTest link(nullptr, *port, PrintText, false, "", &memo);
    if (!link.LinkControl(LinkMode::Open)) return kConsoleFailed;

    const TDateTime at = when.value_or(Now());
    switch (*command) {
    case SendCmd::Firmware: link.SendFirmwareRequest(); break;
    case SendCmd::SetDateTime: link.SendSetDateTime(at); break;
    case SendCmd::ResetTimer: link.SendResetTimer(at); break;
    case SendCmd::ManualLap: link.SendManualLap(at); break;
    case SendCmd::ResetGps: link.SendResetGps(at); break;
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(listenMs);
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now())
        WaitAndServeMainThreadCalls(
            std::min(kServeSlice, std::chrono::duration_cast<std::chrono::milliseconds>(end - now)));
    ServeMainThreadCalls();
    link.LinkControl(LinkMode::Close);
    return kConsoleOk;
}

}  // namespace sincrovia
