// The store keeps what it is given, and a damaged file never costs the rounds of the session.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sqlite3.h>

#include "history/HistoryStore.h"

namespace sincrovia::history {
namespace {

namespace fs = std::filesystem;

fs::path FreshFolder(const std::string& name) {
    const fs::path folder =
        fs::temp_directory_path() / ("sincrovia-history-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

StoredRound Round(int64_t startUs, const std::string& kind, int slots) {
    StoredRound r;
    r.startUnixUs = startUs;
    r.kind = kind;
    r.thresholdMs = 50;
    r.verdict = "Synchronization OK";
    for (int slot = 1; slot <= slots; ++slot) {
        StoredReading x;
        x.slot = slot;
        x.decoder = "D" + std::to_string(slot);
        x.port = "ttyS" + std::to_string(slot);
        x.firmware = "6.40.0";
        x.requestUnixUs = startUs;
        x.decoderTime = "2026-12-09 10:00:00.123";
        x.offsetUs = 1000 * slot;
        x.status = "ok";
        r.readings.push_back(x);
    }
    return r;
}

std::vector<fs::path> SetAsideFiles(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().rfind(std::string(kStoreFileName) + ".corrupt-", 0) == 0 &&
            e.path().filename().string().find("-wal") == std::string::npos &&
            e.path().filename().string().find("-shm") == std::string::npos)
            found.push_back(e.path());
    return found;
}

TEST(HistoryStore, RoundIsStoredAndReloadedWithUnknownFieldsKeptUnknown) {
    const fs::path folder = FreshFolder("reload");
    const std::string path = (folder / kStoreFileName).string();
    StoredRound round = Round(1'765'000'000'000'000, "check", 2);
    round.reason = "the spread, with a comma";
    round.readings[1].status = "no reply";
    round.readings[1].offsetUs.reset();
    round.readings[1].decoderTime.clear();
    round.readings[0].arrivalUnixUs = round.startUnixUs + 4200;
    round.readings[0].roundTripUs = 4200;
    int64_t id = 0;
    {
        HistoryStore store(path);
        ASSERT_TRUE(store.IsOpen());
        id = store.Append(round);
        ASSERT_GT(id, 0);
    }
    HistoryStore store(path, OpenMode::ReadOnly);
    const auto back = store.RoundsBetween(round.startUnixUs, round.startUnixUs + 1);
    ASSERT_EQ(back.size(), 1u);
    const StoredRound& r = back[0];
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.kind, "check");
    EXPECT_EQ(r.thresholdMs, 50);
    EXPECT_EQ(r.reason, round.reason);
    EXPECT_EQ(r.pcClockStatus, "");
    ASSERT_EQ(r.readings.size(), 2u);
    EXPECT_EQ(r.readings[0].roundTripUs, 4200);
    EXPECT_EQ(r.readings[0].arrivalUnixUs, round.startUnixUs + 4200);
    EXPECT_EQ(r.readings[0].decoderTime, "2026-12-09 10:00:00.123");
    EXPECT_EQ(r.readings[0].offsetUs, 1000);
    EXPECT_EQ(r.readings[1].status, "no reply");
    EXPECT_FALSE(r.readings[1].offsetUs.has_value());
    EXPECT_FALSE(r.readings[1].roundTripUs.has_value());
    fs::remove_all(folder);
}

TEST(HistoryStore, UnreadableFileIsSetAsideAndAFreshOneKeepsTheSession) {
    const fs::path folder = FreshFolder("damaged");
    const std::string path = (folder / kStoreFileName).string();
    const std::string junk = "not a database" + std::string(8192, '\x5a');
    std::ofstream(path, std::ios::binary) << junk;
    {
        HistoryStore store(path);
        ASSERT_TRUE(store.IsOpen());
        ASSERT_GT(store.Append(Round(1000, "read", 4)), 0);
        ASSERT_GT(store.Append(Round(2000, "check", 4)), 0);
        const auto messages = store.TakeMessages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find("renamed to Sincrovia.db.corrupt-"), std::string::npos) << messages[0];
    }
    const auto aside = SetAsideFiles(folder);
    ASSERT_EQ(aside.size(), 1u);
    std::ifstream kept(aside[0], std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), junk);  // the evidence stays intact
    HistoryStore reopened(path, OpenMode::ReadOnly);
    EXPECT_EQ(reopened.RoundsBetween(0, 10'000).size(), 2u);
    fs::remove_all(folder);
}

TEST(HistoryStore, RoundThatCannotBeWrittenYetIsKeptAndWrittenWithTheNext) {
    const fs::path folder = FreshFolder("busy");
    const std::string path = (folder / kStoreFileName).string();
    HistoryStore store(path);
    // Another program (a console, a copy tool) holds the write lock for a while.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(store.Append(Round(1000, "check", 4)), 0);
    EXPECT_EQ(store.TakeMessages().size(), 1u);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_GT(store.Append(Round(2000, "check", 4)), 0);
    const auto rounds = store.RoundsBetween(0, 10'000);
    ASSERT_EQ(rounds.size(), 2u);
    EXPECT_EQ(rounds[0].startUnixUs, 1000);
    fs::remove_all(folder);
}

TEST(HistoryStore, OffsetsAreTakenFromTheLastWriteOn) {
    const fs::path folder = FreshFolder("since");
    HistoryStore store((folder / kStoreFileName).string());
    store.Append(Round(1000, "read", 2));
    store.Append(Round(2000, "set_time", 2));
    StoredRound late = Round(3000, "check", 2);
    late.readings[1].status = "late";
    store.Append(late);
    const auto points = store.OffsetsSinceLastWrite();
    ASSERT_EQ(points.size(), 3u);  // two of the write's read-back, one "ok" of the check
    EXPECT_EQ(points.front().unixUs, 2000);
    EXPECT_EQ(points.back().decoder, "D1");
    EXPECT_EQ(points.back().unixUs, 3000);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace sincrovia::history

namespace sincrovia::history {
namespace {

TEST(HistoryStore, WriteAheadLogIsCheckpointedAwayFromTheWritingThread) {
    // Every write only appends to the log; between rounds the checkpoint thread moves it into
    // the file, so it does not grow without end.
    constexpr int kRounds = 2000;
    constexpr int kBurst = 250;  // rounds come minutes apart; here in bursts with a pause
    constexpr auto kPause = std::chrono::milliseconds(300);
    constexpr std::uintmax_t kLogBound = 3 * 1000 * 4096;  // three checkpoints' worth of pages
    const fs::path folder = FreshFolder("wal");
    const std::string path = (folder / kStoreFileName).string();
    std::uintmax_t largest = 0;
    {
        HistoryStore store(path);
        for (int i = 0; i < kRounds; ++i) {
            if (i % kBurst == kBurst - 1) std::this_thread::sleep_for(kPause);
            ASSERT_GT(store.Append(Round(1000 + i, "check", 4)), 0);
            std::error_code ec;
            largest = std::max(largest, fs::file_size(path + "-wal", ec));
        }
    }
    EXPECT_LT(largest, kLogBound);
    EXPECT_EQ(HistoryStore(path, OpenMode::ReadOnly).RoundsBetween(0, 1000 + kRounds).size(),
              static_cast<std::size_t>(kRounds));
    fs::remove_all(folder);
}

}  // namespace
}  // namespace sincrovia::history
