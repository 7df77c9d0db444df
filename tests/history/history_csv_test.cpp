// The CSV of a day, byte for byte, from the store and through the console command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "history/HistoryCsv.h"

namespace sincrovia::history {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kDay = 1'765'238'400'000'000;  // 2025-12-09 00:00:00 UTC
constexpr int64_t kHourUs = 3'600'000'000;

const char kExpected[] =
    "round_id,round_start_utc,kind,threshold_ms,verdict,reason,pc_clock_status,slot,decoder,port,firmware,"
    "request_utc_us,arrival_utc_us,decoder_time,round_trip_us,offset_us,status\r\n"
    "2,2025-12-09T10:00:00.000250Z,check,50,Synchronization Warning,\"spread 61 ms, over 50\",synchronised,1,PIT IN,"
    "ttyUSB0,6.40.0,1765274400000250,1765274400004450,2025-12-09 10:00:00.065,4200,65000,ok\r\n"
    "2,2025-12-09T10:00:00.000250Z,check,50,Synchronization Warning,\"spread 61 ms, over 50\",synchronised,4,T1,"
    "ttyUSB3,,1765274400000250,,,,,no reply\r\n"
    "3,2025-12-09T23:59:59.999999Z,read,,Synchronization KO,,,,,,,,,,,,\r\n";

void Fill(HistoryStore& store) {
    StoredRound before;  // the evening before: not part of the day
    before.startUnixUs = kDay - 1;
    before.kind = "read";
    before.verdict = "Synchronization OK";
    store.Append(before);

    StoredRound r;
    r.startUnixUs = kDay + 10 * kHourUs + 250;
    r.kind = "check";
    r.thresholdMs = 50;
    r.verdict = "Synchronization Warning";
    r.reason = "spread 61 ms, over 50";
    r.pcClockStatus = "synchronised";
    StoredReading a;
    a.slot = 1;
    a.decoder = "PIT IN";
    a.port = "ttyUSB0";
    a.firmware = "6.40.0";
    a.requestUnixUs = r.startUnixUs;
    a.arrivalUnixUs = r.startUnixUs + 4200;
    a.roundTripUs = 4200;
    a.decoderTime = "2025-12-09 10:00:00.065";
    a.offsetUs = 65000;
    a.status = "ok";
    StoredReading b;
    b.slot = 4;
    b.decoder = "T1";
    b.port = "ttyUSB3";
    b.requestUnixUs = r.startUnixUs;
    b.status = "no reply";
    r.readings = {a, b};
    store.Append(r);

    StoredRound last;  // a round without readings, at the day's last microsecond
    last.startUnixUs = kDay + 24 * kHourUs - 1;
    last.kind = "read";
    last.verdict = "Synchronization KO";
    store.Append(last);

    StoredRound after = before;
    after.startUnixUs = kDay + 24 * kHourUs;
    store.Append(after);
}

TEST(HistoryCsv, DayIsWrittenByteForByteByTheStoreAndTheConsole) {
    setenv("TZ", "UTC", 1);
    tzset();
    const fs::path folder = fs::temp_directory_path() / ("sincrovia-history-csv-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string db = (folder / kStoreFileName).string();
    {
        HistoryStore store(db);
        Fill(store);
        int64_t from = 0, to = 0;
        ASSERT_TRUE(LocalDayBounds("2025-12-09", from, to));
        std::ostringstream csv;
        WriteReadingsCsv(store.RoundsBetween(from, to), csv);
        EXPECT_EQ(csv.str(), kExpected);
    }
    const std::string out = (folder / "day.csv").string();
    std::ostringstream sink, err;
    ASSERT_EQ(RunHistoryConsole({"--db", db, "--day", "2025-12-09", "--csv", out}, sink, err), 0) << err.str();
    std::ifstream written(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), kExpected);

    struct Case {
        const char* legend;
        std::vector<std::string> args;
        int status;
    };
    for (const Case& c : {Case{"no such day", {"--db", db, "--day", "2025-02-30", "--csv", "-"}, 2},
                          Case{"no store there", {"--db", (folder / "none.db").string(), "--csv", "-"}, 1},
                          Case{"missing output", {"--db", db}, 2}}) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(RunHistoryConsole(c.args, sink, err), c.status);
    }
    EXPECT_FALSE(fs::exists(folder / "none.db"));  // the console never creates a store
    fs::remove_all(folder);
}

}  // namespace
}  // namespace sincrovia::history
