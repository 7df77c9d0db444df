#include "history/HistoryCsv.h"
#include "util/DateTime.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <ostream>

namespace sincrovia::history {

namespace {

constexpr int64_t kUsPerSecond = 1'000'000;
constexpr char kLineEnd[] = "\r\n";

std::string Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string Field(const std::optional<int64_t>& v) { return v ? std::to_string(*v) : std::string(); }

}  // namespace

std::string UtcText(int64_t unixUs) {
    int64_t seconds = unixUs / kUsPerSecond;
    int64_t micro = unixUs % kUsPerSecond;
    if (micro < 0) {
        micro += kUsPerSecond;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &utc);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%06lldZ", date, static_cast<long long>(micro));
    return text;
}

void WriteReadingsCsv(const std::vector<StoredRound>& rounds, std::ostream& out) {
    out << kCsvHeader << kLineEnd;
    for (const StoredRound& r : rounds) {
        const std::string head = std::to_string(r.id) + ',' + UtcText(r.startUnixUs) + ',' + Field(r.kind) + ',' +
                                 Field(r.thresholdMs) + ',' + Field(r.verdict) + ',' + Field(r.reason) + ',' +
                                 Field(r.pcClockStatus) + ',';
        if (r.readings.empty()) out << head << ",,,,,,,,," << kLineEnd;
        for (const StoredReading& x : r.readings)
            out << head << x.slot << ',' << Field(x.decoder) << ',' << Field(x.port) << ',' << Field(x.firmware) << ','
                << Field(x.requestUnixUs) << ',' << Field(x.arrivalUnixUs) << ',' << Field(x.decoderTime) << ','
                << Field(x.roundTripUs) << ',' << Field(x.offsetUs) << ',' << Field(x.status) << kLineEnd;
    }
}

int RunHistoryConsole(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string db, day, csv;
    const auto usage = [&err](const std::string& why) {
        err << "history: " << why << "\nusage: sincrovia-console " << kHistoryUsage << "\n";
        return 2;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string* target = a == "--db" ? &db : a == "--day" ? &day : a == "--csv" ? &csv : nullptr;
        if (target == nullptr) return usage("unknown argument \"" + a + "\"");
        if (i + 1 >= args.size()) return usage(a + " needs a value");
        *target = args[++i];
    }
    if (db.empty()) return usage("--db is missing");
    if (csv.empty()) return usage("--csv is missing");
    if (day.empty()) day = LocalDayOf(NowUnixUs());
    int64_t from = 0, to = 0;
    if (!LocalDayBounds(day, from, to)) return usage("--day \"" + day + "\" is not a day YYYY-MM-DD");

    HistoryStore store(db, OpenMode::ReadOnly);
    for (const std::string& m : store.TakeMessages()) err << m << "\n";
    if (!store.IsOpen()) return 1;
    const std::vector<StoredRound> rounds = store.RoundsBetween(from, to);
    for (const std::string& m : store.TakeMessages()) err << m << "\n";
    if (csv == "-") {
        WriteReadingsCsv(rounds, out);
        return out ? 0 : 1;
    }
    std::ofstream file(csv, std::ios::binary | std::ios::trunc);
    if (file) WriteReadingsCsv(rounds, file);
    file.close();
    if (!file) {
        err << "history: cannot write " << csv << "\n";
        return 1;
    }
    return 0;
}

}  // namespace sincrovia::history
