// The readings of a day as CSV, for a spreadsheet or a race official, and the console command
// that writes it: `sincrovia-console history --db FILE [--day YYYY-MM-DD] --csv OUT`.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "history/HistoryStore.h"

namespace sincrovia::history {

/// The header line of the CSV (without the line end).
inline constexpr char kCsvHeader[] =
    "round_id,round_start_utc,kind,threshold_ms,verdict,reason,pc_clock_status,slot,decoder,port,firmware,"
    "request_utc_us,arrival_utc_us,decoder_time,round_trip_us,offset_us,status";

/// Writes one line per reading of `rounds` (a round without readings gives one line with the
/// reading's fields empty), header first, lines ended by CR LF; fields holding a comma, a
/// quote or a line break are quoted.
void WriteReadingsCsv(const std::vector<StoredRound>& rounds, std::ostream& out);

/// An instant as "2026-12-09T14:03:05.123456Z".
std::string UtcText(int64_t unixUs);

/// Usage line of the console command (without the program name).
inline constexpr char kHistoryUsage[] = "history --db FILE [--day YYYY-MM-DD] --csv OUT|-";

/// Runs the console command on its arguments (those after "history"): 0 written, 1 the store
/// cannot be read or OUT cannot be written, 2 bad arguments. The day is the PC's local day,
/// today when not given.
int RunHistoryConsole(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sincrovia::history
