// The decoder console: a command-line tool for technicians that prints command frames and
// decodes captured byte streams. Each subcommand is a row of a table (name, usage, handler),
// so a further subcommand is one more row and one more handler.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "util/DateTime.h"

namespace sincrovia {

/// Exit statuses of the console.
inline constexpr int kConsoleOk = 0;
inline constexpr int kConsoleFailed = 1;
inline constexpr int kConsoleUsage = 2;

/// The streams of one console run.
struct ConsoleStreams {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
};

/// Raised by a handler for bad arguments; the console prints the message and the usage.
struct ConsoleUsageError {
    std::string message;
};

/// One subcommand: its name, its usage lines (without the program name) and its handler,
/// which gets the arguments after the name and returns the exit status.
struct ConsoleCommand {
    std::string_view name;
    std::string_view usage;
    int (*run)(const std::vector<std::string>& args, ConsoleStreams& io);
};

/// The subcommands, in the order the usage lists them.
const std::vector<ConsoleCommand>& ConsoleCommands();

/// Runs the console on its arguments (the program name excluded) and returns the exit status:
/// 0 done, 1 failed (bad input data), 2 bad arguments (usage on the error stream).
int RunDecoderConsole(const std::vector<std::string>& args, ConsoleStreams io);

/// Parses "YYYY-MM-DDTHH:MM:SS" with an optional ".zzz" into a date-time value; raises
/// ConsoleUsageError for anything else.
TDateTime ParseConsoleDateTime(const std::string& text);

/// Reads bytes written in hexadecimal ("00 50 01", "005001", upper or lower case); blanks and
/// line breaks only separate tokens, and each token must hold whole bytes. Raises
/// std::invalid_argument naming the first bad token.
std::string ParseHexBytes(std::string_view text);

}  // namespace sincrovia
