// Command line of the decoder simulator: one argument per decoder, "NAME[:key=value,...]",
// plus an optional arrival log. Parsing is pure so that the rules have their own tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sincrovia::sim {

/// Most decoders one simulator runs (the program drives four slots).
inline constexpr std::size_t kMaxDecoders = 4;

/// Firmware version a decoder reports unless told otherwise.
inline constexpr std::string_view kDefaultFirmware = "6.33.1";

/// Speed of a decoder's serial line, 8N1: a frame is taken once its last byte would have
/// crossed it.
inline constexpr uint32_t kDefaultLineBaud = 115200;

/// What a decoder does once its clock has been written (Cmd 03).
enum class AfterSet {
    Answer,  ///< goes on answering
    Silent,  ///< answers nothing any more (frames are still logged and applied)
    Hangup,  ///< closes its line right after the write
};

/// Behaviour of one simulated decoder.
struct DecoderConfig {
    std::string name;                        ///< virtual port name (the link's file name)
    int64_t offsetMs = 0;                    ///< clock offset from the PC clock at start
    double driftPpm = 0.0;                   ///< clock rate error, parts per million
    std::string firmware{kDefaultFirmware};  ///< version text after the banner
    bool longFirmware = false;               ///< answer with the 47-byte firmware record
    int latencyMs = 20;                      ///< delay from a frame's arrival to the answer
    int jitterMs = 5;                        ///< extra random delay, 0..jitterMs
    uint32_t transponder = 1;                ///< transponder number of manual laps
    bool silent = false;                     ///< never answers anything
    double passagesPerMinute = 0.0;          ///< unasked passages, evenly spaced
    double garbagePerSecond = 0.0;           ///< random bytes sent per second
    double hangupSeconds = 0.0;              ///< close the line after this long (0: never)
    bool gps = false;                        ///< a GPS reset makes the clock follow true time
    AfterSet afterSet = AfterSet::Answer;    ///< behaviour after a clock write
    bool badClock = false;                   ///< passages carry month 13 (cannot be decoded)
    uint32_t baud = kDefaultLineBaud;        ///< line speed for the frames' byte time (0: none)
};

/// What the command line asks for.
struct CommandLine {
    bool help = false;                    ///< --help: print the usage and exit
    std::string logPath;                  ///< --log FILE (empty: no arrival log)
    std::vector<DecoderConfig> decoders;  ///< one per NAME argument, in order
};

/// Parses one "NAME[:key=value,...]" argument. On failure returns nothing and sets `error`.
std::optional<DecoderConfig> ParseDecoderArgument(std::string_view argument, std::string& error);

/// Parses the arguments after the program name. On failure returns nothing and sets `error`.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments, std::string& error);

/// The full --help text.
std::string UsageText();

/// True when `name` can name a virtual port: 1..64 of A-Z a-z 0-9 _ - ., not starting with '.'.
bool IsValidPortName(std::string_view name);

}  // namespace sincrovia::sim
