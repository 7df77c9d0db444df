// The console's "send" subcommand: opens a port through a decoder link exactly as the
// synchronizer does, sends one command, and prints what comes back for a while.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "decoder_link/DecoderConsole.h"

namespace sincrovia {

/// Usage lines of the subcommand.
inline constexpr std::string_view kSendUsage =
    "send --port NAME CMD [--when YYYY-MM-DDTHH:MM:SS.zzz] [--listen MS]\n"
    "    Opens the port through a decoder link, sends the command and listens: every text the\n"
    "    link delivers is printed on standard output, its log lines on standard error.\n"
    "    CMD: firmware, set-datetime, reset-timer, manual-lap, reset-gps.\n"
    "    --when T     date and time sent (set-datetime) or logged (default: now)\n"
    "    --listen MS  milliseconds to listen after sending (default 1000)\n"
    "    Exit status 1 when the port does not open.\n";

/// Listening time when --listen is not given, in milliseconds.
inline constexpr int kDefaultListenMs = 1000;

/// Runs the subcommand on the arguments after its name; returns the exit status.
int RunSendCommand(const std::vector<std::string>& args, ConsoleStreams& io);

}  // namespace sincrovia
