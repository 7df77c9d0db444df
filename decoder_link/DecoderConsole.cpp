#include "decoder_link/DecoderConsole.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "decoder_link/ConsoleSend.h"
#include "decoder_link/Frames.h"
#include "decoder_link/LinkSettings.h"
#include "decoder_link/Reception.h"
#include "util/DateTime.h"

namespace sincrovia {

namespace {

constexpr std::string_view kProgram = "sincrovia-console";
constexpr int kMaxReaderId = 250;

constexpr std::string_view kFrameUsage =
    "frame CMD [--id N] [--when YYYY-MM-DDTHH:MM:SS.zzz] [--full-checksum]\n"
    "    Prints the command frame as hexadecimal bytes, then its log line.\n"
    "    CMD: firmware, set-datetime, reset-timer, manual-lap, reset-gps.\n"
    "    --id N           reader id 0..250 (default 1)\n"
    "    --when T         date and time of the frame and its log line (default: now)\n"
    "    --full-checksum  the checksum of the binary protocol (not halved)\n";
constexpr std::string_view kDecodeUsage =
    "decode [--set Key=Value ...]\n"
    "    Reads hexadecimal bytes from standard input (blanks and line breaks ignored), takes\n"
    "    them as one received cluster and prints every text delivered, one per line.\n"
    "    Keys: ProtocolloTeKan, SpeedTrap, TempiAssoluti, StrXTrivoloTimer (True or False).\n";

struct NamedCommand {
    std::string_view name;
    DecoderCommand command;
};
constexpr NamedCommand kFrameCommands[] = {
    {"firmware", DecoderCommand::FirmwareRequest}, {"set-datetime", DecoderCommand::SetDateTime},
    {"reset-timer", DecoderCommand::ResetTimer},   {"manual-lap", DecoderCommand::ManualLap},
    {"reset-gps", DecoderCommand::ResetGps},
};

void PrintUsage(std::ostream& os) {
    os << "usage:\n";
    for (const ConsoleCommand& c : ConsoleCommands()) os << "  " << kProgram << ' ' << c.usage;
    os << "  " << kProgram << " --help\n";
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// An option's value: "--name value" or "--name=value"; advances `i` past what it used.
std::optional<std::string> OptionValue(const std::vector<std::string>& args, size_t& i, std::string_view name) {
    const std::string& arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) throw ConsoleUsageError{std::string(name) + " needs a value"};
        return args[++i];
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
        return arg.substr(name.size() + 1);
    }
    return std::nullopt;
}

int ParseNumber(std::string_view text, std::string_view what) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw ConsoleUsageError{"bad " + std::string(what) + ": '" + std::string(text) + "'"};
    }
    return value;
}

// "YYYY-MM-DDTHH:MM:SS" with an optional ".zzz" (1 to 3 digits of milliseconds).
TDateTime ParseWhen(const std::string& text) {
    constexpr size_t kDateLength = 10, kDateTimeLength = 19, kMaxMsDigits = 3;
    const auto bad = [&] { return ConsoleUsageError{"bad date and time: '" + text + "'"}; };
    if (text.size() < kDateTimeLength || text[4] != '-' || text[7] != '-' || text[kDateLength] != 'T' ||
        text[13] != ':' || text[16] != ':') {
        throw bad();
    }
    const std::string_view t(text);
    int ms = 0;
    if (text.size() > kDateTimeLength) {
        const std::string_view msText = t.substr(kDateTimeLength + 1);
        if (text[kDateTimeLength] != '.' || msText.empty() || msText.size() > kMaxMsDigits) throw bad();
        ms = ParseNumber(msText, "milliseconds");
        for (size_t i = msText.size(); i < kMaxMsDigits; ++i) ms *= 10;
    }
    TDateTime date = 0, time = 0;
    try {
        if (!TryEncodeDate(ParseNumber(t.substr(0, 4), "year"), ParseNumber(t.substr(5, 2), "month"),
                           ParseNumber(t.substr(8, 2), "day"), date) ||
            !TryEncodeTime(ParseNumber(t.substr(11, 2), "hour"), ParseNumber(t.substr(14, 2), "minute"),
                           ParseNumber(t.substr(17, 2), "second"), ms, time)) {
            throw bad();
        }
    } catch (const ConsoleUsageError&) {
        throw bad();
    }
    return date + time;
}

int RunFrame(const std::vector<std::string>& args, ConsoleStreams& io) {
    LinkSettings settings;
    std::optional<DecoderCommand> command;
    std::optional<TDateTime> when;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsHelp(arg)) {
            io.out << "usage: " << kProgram << ' ' << kFrameUsage;
            return kConsoleOk;
        }
        if (const auto id = OptionValue(args, i, "--id")) {
            const int value = ParseNumber(*id, "reader id");
            if (value < 0 || value > kMaxReaderId) {
                throw ConsoleUsageError{"reader id out of 0..250: " + *id};
            }
            settings.IdRx = std::to_string(value);
        } else if (const auto at = OptionValue(args, i, "--when")) {
            when = ParseWhen(*at);
        } else if (arg == "--full-checksum") {
            settings.ProtocolloTeKan = false;
        } else if (!arg.empty() && arg[0] == '-') {
            throw ConsoleUsageError{"unknown option '" + arg + "'"};
        } else if (command) {
            throw ConsoleUsageError{"one command only: '" + arg + "'"};
        } else {
            const auto* found = std::find_if(std::begin(kFrameCommands), std::end(kFrameCommands),
                                             [&](const NamedCommand& c) { return c.name == arg; });
            if (found == std::end(kFrameCommands)) throw ConsoleUsageError{"unknown command '" + arg + "'"};
            command = found->command;
        }
    }
    if (!command) throw ConsoleUsageError{"frame needs a command"};
    const BuiltFrame frame = BuildCommandFrame(*command, settings, when.value_or(Now()));
    io.out << HexBytes(frame.bytes) << '\n' << frame.logLine << '\n';
    return kConsoleOk;
}

bool ParseBool(const std::string& key, const std::string& value) {
    std::string upper = value;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    if (upper == "TRUE") return true;
    if (upper == "FALSE") return false;
    throw ConsoleUsageError{key + " takes True or False, not '" + value + "'"};
}

void ApplySetting(LinkSettings& settings, const std::string& assignment) {
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos) throw ConsoleUsageError{"--set needs Key=Value: '" + assignment + "'"};
    const std::string key = assignment.substr(0, eq);
    const std::string value = assignment.substr(eq + 1);
    bool* target = key == "ProtocolloTeKan"    ? &settings.ProtocolloTeKan
                   : key == "SpeedTrap"        ? &settings.SpeedTrap
                   : key == "TempiAssoluti"    ? &settings.TempiAssoluti
                   : key == "StrXTrivoloTimer" ? &settings.StrXTrivoloTimer
                                               : nullptr;
    if (target == nullptr) throw ConsoleUsageError{"unknown key '" + key + "'"};
    *target = ParseBool(key, value);
}

int RunDecode(const std::vector<std::string>& args, ConsoleStreams& io) {
    LinkSettings settings;
    for (size_t i = 0; i < args.size(); ++i) {
        if (IsHelp(args[i])) {
            io.out << "usage: " << kProgram << ' ' << kDecodeUsage;
            return kConsoleOk;
        }
        if (const auto assignment = OptionValue(args, i, "--set")) {
            ApplySetting(settings, *assignment);
        } else {
            throw ConsoleUsageError{"unexpected argument '" + args[i] + "'"};
        }
    }
    const std::string text((std::istreambuf_iterator<char>(io.in)), std::istreambuf_iterator<char>());
    std::string bytes;
    try {
        bytes = ParseHexBytes(text);
    } catch (const std::invalid_argument& e) {
        io.err << kProgram << ": " << e.what() << '\n';
        return kConsoleFailed;
    }
    RecordParser parser(settings, [&](const ByteString& delivered) { io.out << delivered << '\n'; });
    // A capture is finite: take all of it as the one cluster, however long.
    const size_t mark = std::max(kRxBufferHighMark, bytes.size());
    parser.SetBufferMarks(mark, mark);
    parser.ReceiveCluster(bytes, true);
    return kConsoleOk;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string ParseHexBytes(std::string_view text) {
    constexpr int kNibbleBits = 4;
    std::string bytes;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n') {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && HexValue(text[end]) >= 0) ++end;
        const bool endsWell =
            end == text.size() || text[end] == ' ' || text[end] == '\t' || text[end] == '\r' || text[end] == '\n';
        if (end == i || !endsWell || (end - i) % 2 != 0) {
            size_t tokenEnd = i;
            while (tokenEnd < text.size() && text[tokenEnd] != ' ' && text[tokenEnd] != '\t' &&
                   text[tokenEnd] != '\r' && text[tokenEnd] != '\n') {
                ++tokenEnd;
            }
            throw std::invalid_argument("not hexadecimal bytes: '" + std::string(text.substr(i, tokenEnd - i)) + "'");
        }
        for (; i < end; i += 2) {
            bytes += static_cast<char>((HexValue(text[i]) << kNibbleBits) | HexValue(text[i + 1]));
        }
    }
    return bytes;
}

TDateTime ParseConsoleDateTime(const std::string& text) { return ParseWhen(text); }

const std::vector<ConsoleCommand>& ConsoleCommands() {
    static const std::vector<ConsoleCommand> commands = {
        {"frame", kFrameUsage, &RunFrame},
        {"decode", kDecodeUsage, &RunDecode},
        {"send", kSendUsage, &RunSendCommand},
    };
    return commands;
}

int RunDecoderConsole(const std::vector<std::string>& args, ConsoleStreams io) {
    if (args.empty()) {
        io.err << kProgram << ": a command is needed\n";
        PrintUsage(io.err);
        return kConsoleUsage;
    }
    if (IsHelp(args[0])) {
        PrintUsage(io.out);
        return kConsoleOk;
    }
    const auto& commands = ConsoleCommands();
    const auto found =
        std::find_if(commands.begin(), commands.end(), [&](const ConsoleCommand& c) { return c.name == args[0]; });
    if (found == commands.end()) {
        io.err << kProgram << ": unknown command '" << args[0] << "'\n";
        PrintUsage(io.err);
        return kConsoleUsage;
    }
    try {
        return found->run(std::vector<std::string>(args.begin() + 1, args.end()), io);
    } catch (const ConsoleUsageError& e) {
        io.err << kProgram << ' ' << found->name << ": " << e.message << '\n';
        io.err << "usage: " << kProgram << ' ' << found->usage;
        return kConsoleUsage;
    }
}

}  // namespace sincrovia
