#include "tools/simulator/SimulatorOptions.h"

#include <charconv>
#include <cmath>
#include <set>

namespace sincrovia::sim {

namespace {

constexpr std::size_t kMaxNameLength = 64;
constexpr std::string_view kBanner = "teKAN - teVO Ver: ";
constexpr std::size_t kShortTextLength = 35;               // text bytes of the 45-byte firmware record
constexpr std::size_t kLongTextLength = 37;                // text bytes of the 47-byte firmware record
constexpr int64_t kMaxOffsetMs = 10LL * 366 * 86'400'000;  // ten years either way
constexpr double kMaxDriftPpm = 100'000.0;                 // 10 %
constexpr int kMaxDelayMs = 60'000;
constexpr double kMaxPassagesPerMinute = 6'000.0;
constexpr double kMaxGarbagePerSecond = 100'000.0;
constexpr double kMaxHangupSeconds = 7.0 * 86'400;
constexpr int64_t kMaxBaud = 4'000'000;

bool ParseInteger(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < lo || value > hi) return false;
    out = value;
    return true;
}

bool ParseReal(std::string_view text, double lo, double hi, double& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0.0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < lo || value > hi)
        return false;
    out = value;
    return true;
}

bool ParseFlag(std::string_view text, bool& out) {
    if (text == "0") {
        out = false;
        return true;
    }
    if (text == "1") {
        out = true;
        return true;
    }
    return false;
}

bool IsVersionChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == '-' ||
           c == '_';
}

// Applies one key=value to `config`; returns an error text or empty.
std::string ApplyKey(std::string_view key, std::string_view value, DecoderConfig& config) {
    int64_t n = 0;
    double x = 0.0;
    bool flag = false;
    auto bad = [&](std::string_view expected) {
        return "bad value '" + std::string(value) + "' for " + std::string(key) + " (expected " +
               std::string(expected) + ")";
    };
    if (key == "offset") {
        if (!ParseInteger(value, -kMaxOffsetMs, kMaxOffsetMs, n)) return bad("whole milliseconds");
        config.offsetMs = n;
    } else if (key == "drift") {
        if (!ParseReal(value, -kMaxDriftPpm, kMaxDriftPpm, x)) return bad("ppm, -100000..100000");
        config.driftPpm = x;
    } else if (key == "firmware") {
        if (value.empty()) return bad("a version such as 6.33.1");
        for (char c : value)
            if (!IsVersionChar(c)) return bad("letters, digits, '.', '-', '_'");
        config.firmware = std::string(value);
    } else if (key == "long") {
        if (!ParseFlag(value, flag)) return bad("0 or 1");
        config.longFirmware = flag;
    } else if (key == "latency") {
        if (!ParseInteger(value, 0, kMaxDelayMs, n)) return bad("0..60000 ms");
        config.latencyMs = static_cast<int>(n);
    } else if (key == "jitter") {
        if (!ParseInteger(value, 0, kMaxDelayMs, n)) return bad("0..60000 ms");
        config.jitterMs = static_cast<int>(n);
    } else if (key == "transponder") {
        if (!ParseInteger(value, 0, UINT32_MAX, n)) return bad("0..4294967295");
        config.transponder = static_cast<uint32_t>(n);
    } else if (key == "silent") {
        if (!ParseFlag(value, flag)) return bad("0 or 1");
        config.silent = flag;
    } else if (key == "passages") {
        if (!ParseReal(value, 0.0, kMaxPassagesPerMinute, x)) return bad("0..6000 per minute");
        config.passagesPerMinute = x;
    } else if (key == "garbage") {
        if (!ParseReal(value, 0.0, kMaxGarbagePerSecond, x)) return bad("0..100000 bytes per second");
        config.garbagePerSecond = x;
    } else if (key == "hangup") {
        if (!ParseReal(value, 0.0, kMaxHangupSeconds, x)) return bad("seconds, 0 for never");
        config.hangupSeconds = x;
    } else if (key == "baud") {
        if (!ParseInteger(value, 0, kMaxBaud, n)) return bad("0..4000000 bits per second, 0 for no byte time");
        config.baud = static_cast<uint32_t>(n);
    } else if (key == "gps") {
        if (!ParseFlag(value, flag)) return bad("0 or 1");
        config.gps = flag;
    } else if (key == "after_set") {
        if (value == "answer")
            config.afterSet = AfterSet::Answer;
        else if (value == "silent")
            config.afterSet = AfterSet::Silent;
        else if (value == "hangup")
            config.afterSet = AfterSet::Hangup;
        else
            return bad("answer, silent or hangup");
    } else if (key == "bad_clock") {
        if (!ParseFlag(value, flag)) return bad("0 or 1");
        config.badClock = flag;
    } else {
        return "unknown key '" + std::string(key) + "'";
    }
    return {};
}

}  // namespace

bool IsValidPortName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength || name.front() == '.') return false;
    for (char c : name) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
                        c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::optional<DecoderConfig> ParseDecoderArgument(std::string_view argument, std::string& error) {
    DecoderConfig config;
    const auto colon = argument.find(':');
    const std::string_view name = argument.substr(0, colon);
    if (!IsValidPortName(name)) {
        error = "bad decoder name '" + std::string(name) + "' (1 to 64 of A-Z a-z 0-9 _ - ., not starting with '.')";
        return std::nullopt;
    }
    config.name = std::string(name);
    if (colon != std::string_view::npos) {
        std::string_view rest = argument.substr(colon + 1);
        std::set<std::string, std::less<>> seen;
        if (rest.empty()) {
            error = config.name + ": empty key list after ':'";
            return std::nullopt;
        }
        while (true) {
            const auto comma = rest.find(',');
            const std::string_view item = rest.substr(0, comma);
            const auto eq = item.find('=');
            if (eq == std::string_view::npos || eq == 0) {
                error = config.name + ": expected key=value, got '" + std::string(item) + "'";
                return std::nullopt;
            }
            const std::string_view key = item.substr(0, eq);
            if (!seen.emplace(key).second) {
                error = config.name + ": key '" + std::string(key) + "' given twice";
                return std::nullopt;
            }
            const std::string failure = ApplyKey(key, item.substr(eq + 1), config);
            if (!failure.empty()) {
                error = config.name + ": " + failure;
                return std::nullopt;
            }
            if (comma == std::string_view::npos) break;
            rest = rest.substr(comma + 1);
        }
    }
    const std::size_t room = (config.longFirmware ? kLongTextLength : kShortTextLength) - kBanner.size();
    if (config.firmware.size() > room) {
        error = config.name + ": firmware text longer than " + std::to_string(room) +
                " characters does not fit in the record";
        return std::nullopt;
    }
    return config;
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments, std::string& error) {
    CommandLine line;
    bool logGiven = false;
    std::set<std::string, std::less<>> names;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "--help" || arg == "-h") {
            line.help = true;
            return line;
        }
        if (arg == "--log" || arg.rfind("--log=", 0) == 0) {
            std::string path;
            if (arg == "--log") {
                if (i + 1 >= arguments.size()) {
                    error = "--log needs a file name";
                    return std::nullopt;
                }
                path = arguments[++i];
            } else {
                path = arg.substr(std::string_view("--log=").size());
            }
            if (path.empty() || logGiven) {
                error = path.empty() ? "--log needs a file name" : "--log given twice";
                return std::nullopt;
            }
            logGiven = true;
            line.logPath = path;
            continue;
        }
        if (!arg.empty() && arg.front() == '-') {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
        auto decoder = ParseDecoderArgument(arg, error);
        if (!decoder) return std::nullopt;
        if (!names.insert(decoder->name).second) {
            error = "decoder name '" + decoder->name + "' given twice";
            return std::nullopt;
        }
        line.decoders.push_back(std::move(*decoder));
    }
    if (line.decoders.empty() || line.decoders.size() > kMaxDecoders) {
        error = line.decoders.empty() ? "no decoder given" : "at most 4 decoders";
        return std::nullopt;
    }
    return line;
}

std::string UsageText() {
    return R"(Usage: sincrovia-decoder-sim [--log FILE] NAME[:key=value,...]...

Pretends to be one to four timing decoders, each on a pseudo-terminal published as the
virtual port NAME: a symbolic link in $XDG_RUNTIME_DIR/sincrovia-ports/ (or
/tmp/sincrovia-ports-<uid>/ when XDG_RUNTIME_DIR is unset). Open NAME in the program like
any serial port. Prints "ready" once every port is published; SIGINT or SIGTERM removes
the links and ends.

Each decoder keeps its own clock: PC clock (local time) + offset + drift since start.
It answers the command frames:
  Cmd 01  firmware record with "teKAN - teVO Ver: <firmware>" (45 bytes, 47 with long=1)
  Cmd 52  passage record ('P', 32 bytes) stamped with its clock at the frame's arrival
  Cmd 03  sets its clock: at arrival it reads the written date and seconds + 500 ms
  Cmd 07  resets its lap timer (counted, reported on stderr)
  Cmd 55  resets its GPS; with gps=1 its clock then follows the PC clock exactly
Frames with a wrong checksum (the byte sum of the head, halved) are ignored and counted.

Options:
  --log FILE   append one line per frame received, flushed per line:
               <unix time in microseconds> <NAME> <bytes in upper-case hex, blank-separated>
  --help       this text

Keys per decoder (after NAME:, separated by commas):
  offset=MS        clock offset from the PC clock in whole milliseconds (default 0)
  drift=PPM        clock rate error in parts per million, may be fractional (default 0)
  firmware=TEXT    version after the banner (default 6.33.1; at most 17 characters,
                   19 with long=1)
  long=0|1         1: the 47-byte firmware record (default 0)
  latency=MS       delay from a frame's arrival to the answer (default 20)
  jitter=MS        extra random delay added to the latency, 0..MS (default 5)
  transponder=N    transponder number of manual laps (default 1)
  silent=0|1       1: never answers (frames are still logged and applied)
  passages=N       unasked passages per minute, evenly spaced (default 0)
  garbage=N        random bytes sent per second (default 0)
  hangup=S         after S seconds close the line and remove the link (default 0: never)
  gps=0|1          1: after Cmd 55 offset and drift become 0 (default 0)
  after_set=WHAT   after a Cmd 03: answer (default), silent (answers nothing any
                   more) or hangup (closes the line right after it)
  bad_clock=0|1    1: passages carry month 13, a date no decoder can mean (default 0)
  baud=N           line speed, 8N1: a frame is taken (and logged) once its last byte would
                   have arrived, and a reply's last byte leaves that much after its first
                   (default 115200; 0: no byte time)

Example:
  sincrovia-decoder-sim --log arrivals.log PITIN:offset=1700 PITOUT:offset=-800,drift=40 \
      START T1:firmware=6.33

Exit status: 0 after a clean stop, 1 when a port cannot be published, 2 on bad arguments.
)";
}

}  // namespace sincrovia::sim
