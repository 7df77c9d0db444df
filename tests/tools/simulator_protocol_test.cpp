// The decoder side of the protocol without any line: cutting command frames out of a byte
// stream, building records, the clock model and the arrival-log line.
#include <gtest/gtest.h>

#include <cstdlib>

#include "SimulatorTestFrames.h"
#include "tools/simulator/DecoderClock.h"
#include "tools/simulator/DecoderProtocol.h"
#include "tools/simulator/Simulator.h"

namespace sincrovia::sim {
namespace {

using simtest::Bytes;
using simtest::Cmd;
using simtest::Frame;

struct ReaderCase {
    const char* legend;
    std::vector<ByteString> pieces;
    std::vector<std::size_t> framesAfterPiece;  // frames completed by each piece
    std::vector<int> codes;                     // codes of all frames, in order
    uint64_t badChecksums;
    uint64_t discarded;
    std::size_t pending;
};

TEST(SimulatorFrameReader, CutsFramesOutOfTheStream) {
    const ByteString reset = Cmd(7);
    const ByteString lap = Cmd(52);
    const ByteString setTime = Frame(Bytes({0, 3, 1, 26, 12, 8, 1, 4, 5, 6}));
    const ReaderCase cases[] = {
        {"one whole frame", {reset}, {1}, {7}, 0, 0, 0},
        {"the worked example bytes of a reset", {Bytes({0, 7, 1, 0, 0, 0, 4, 13, 10})}, {1}, {7}, 0, 0, 0},
        {"set date/time frame with payload", {setTime}, {1}, {3}, 0, 0, 0},
        {"wrong checksum is ignored and counted", {Frame(Bytes({0, 7, 1}), 5)}, {0}, {}, 1, 0, 0},
        {"the full (not halved) sum is a wrong checksum", {Frame(Bytes({0, 52, 1}), 53)}, {0}, {}, 1, 0, 0},
        {"split over three reads: only the last completes it",
         {lap.substr(0, 2), lap.substr(2, 5), lap.substr(7)},
         {0, 0, 1},
         {52},
         0,
         0,
         0},
        {"set date/time split inside its payload", {setTime.substr(0, 6), setTime.substr(6)}, {0, 1}, {3}, 0, 0, 0},
        {"garbage before a frame", {Bytes({0xAB, 0xCD, 0x0D, 0x0A}) + lap}, {1}, {52}, 0, 4, 0},
        {"two frames in one read keep their order", {reset + lap}, {2}, {7, 52}, 0, 0, 0},
        {"stray 00 03 announces a long frame but a short one follows", {Bytes({0, 3}) + lap}, {1}, {52}, 0, 2, 0},
        {"truncated frame then a good one", {lap.substr(0, 4) + reset}, {1}, {7}, 0, 4, 0},
        {"bad frame then a good one", {Frame(Bytes({0, 52, 1}), 0) + lap}, {1}, {52}, 1, 0, 0},
        {"checksum byte equal to CR is not an end", {Cmd(7, 19)}, {1}, {7}, 0, 0, 0},
        // Its zero checksum bytes could still start frames, so they wait for more input.
        {"frame without CR LF where it should end, then a good one",
         {lap.substr(0, 7) + "xx", reset},
         {0, 1},
         {7},
         0,
         9,
         0},
        {"noise only is dropped, nothing held", {Bytes({1, 2, 3, 0x0D, 0x0A})}, {0}, {}, 0, 5, 0},
        {"a lone 00 at the end is held for the next read", {Bytes({5, 0})}, {0}, {}, 0, 1, 1},
        {"unknown code is still a frame", {Cmd(99)}, {1}, {99}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        FrameReader reader;
        std::vector<int> codes;
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            const auto frames = reader.Feed(c.pieces[i]);
            EXPECT_EQ(c.framesAfterPiece[i], frames.size()) << "piece " << i;
            for (const auto& f : frames) {
                codes.push_back(f.code);
                EXPECT_EQ(FrameLengthForCode(f.code), f.bytes.size());
                EXPECT_EQ(f.code == kCmdSetDateTime ? 7u : 0u, f.payload.size());
            }
        }
        EXPECT_EQ(c.codes, codes);
        EXPECT_EQ(c.badChecksums, reader.BadChecksumCount());
        EXPECT_EQ(c.discarded, reader.DiscardedByteCount());
        EXPECT_EQ(c.pending, reader.PendingByteCount());
    }
}

TEST(SimulatorFrameReader, KeepsFieldsOfTheFrame) {
    FrameReader reader;
    const ByteString setTime = Frame(Bytes({0, 3, 250, 26, 12, 8, 1, 4, 5, 6}));
    const auto frames = reader.Feed(setTime);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(250, frames[0].readerId);
    EXPECT_EQ(Bytes({26, 12, 8, 1, 4, 5, 6}), frames[0].payload);
    EXPECT_EQ(setTime, frames[0].bytes);
}

TEST(SimulatorFrameReader, NoiseNeverGrowsTheBuffer) {
    FrameReader reader;
    std::srand(7);
    for (int round = 0; round < 2000; ++round) {
        ByteString noise;
        for (int i = 0; i < 37; ++i) noise.push_back(static_cast<char>(std::rand() & 0xFF));
        reader.Feed(noise);
        ASSERT_LT(reader.PendingByteCount(), kDateTimeFrameLength);
    }
    const auto frames = reader.Feed(Cmd(1) + Cmd(1));
    // The held tail of the noise may swallow at most the first frame, never the second.
    ASSERT_GE(frames.size(), 1u);
    EXPECT_EQ(1, frames.back().code);
}

TEST(SimulatorRecords, PassageRecordLayout) {
    PassageFields f;
    f.readerId = 1;
    f.year = 2017;
    f.month = 8;
    f.day = 13;
    f.hour = 17;
    f.minute = 45;
    f.second = 0;
    f.millisecond = 214;
    f.number = 1;
    f.transponder = 2;
    f.valueV = 108;
    const ByteString want =
        Bytes({0x00, 0x50, 0x01, 0x11, 0x08, 0x0D, 0x11, 0x2D, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
               0x02, 0x00, 0x00, 0x00, 0xD6, 0x00, 0x6C, 0x00, 0x00, 0x00, 0,    0,    0,    0,    0x0D, 0x0A});
    EXPECT_EQ(HexBytes(want), HexBytes(BuildPassageRecord(f)));

    f.number = 0x01020304;
    f.transponder = 0xA0B0C0D0;
    f.valueW = 0x1234;
    f.flags = 1;
    const ByteString r = BuildPassageRecord(f);
    EXPECT_EQ(Bytes({1, 2, 3, 4}), r.substr(9, 4));
    EXPECT_EQ(Bytes({0xA0, 0xB0, 0xC0, 0xD0}), r.substr(13, 4));
    EXPECT_EQ(Bytes({1}), r.substr(23, 1));
    EXPECT_EQ(Bytes({0x12, 0x34}), r.substr(24, 2));
}

struct FirmwareCase {
    const char* legend;
    std::string version;
    bool longForm;
    std::size_t length;
    std::string textStart;
};

TEST(SimulatorRecords, FirmwareRecordLayout) {
    const FirmwareCase cases[] = {
        {"default version, 45 bytes", "6.33.1", false, 45, "teKAN - teVO Ver: 6.33.1 "},
        {"long record, 47 bytes", "7.0.2", true, 47, "teKAN - teVO Ver: 7.0.2 "},
        {"two-part version", "6.33", false, 45, "teKAN - teVO Ver: 6.33 "},
        {"a version too long for the text is cut", "12345678901234567890", false, 45,
         "teKAN - teVO Ver: 12345678901234567"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const ByteString r = BuildFirmwareRecord(9, c.version, c.longForm);
        ASSERT_EQ(c.length, r.size());
        EXPECT_EQ(Bytes({0x00, 0x81, 9}), r.substr(0, 3));
        const std::string text = r.substr(3, c.longForm ? 37 : 35);
        EXPECT_EQ(0u, text.find(c.textStart)) << text;
        EXPECT_EQ("\r\n", r.substr(r.size() - 2));
        // No CR LF anywhere else: the program's record cutter must find this record only
        // at its full length (a 47-byte record must not look like a 45-byte one).
        EXPECT_EQ(r.size() - 2, r.find("\r\n"));
    }
}

struct ClockCase {
    const char* legend;
    int64_t offsetMs;
    double driftPpm;
    int64_t elapsedUs;
    int64_t expectedAheadUs;  // reading minus PC time after `elapsedUs`
};

TEST(SimulatorClock, OffsetAndDrift) {
    constexpr int64_t kStart = 1'765'000'000'000'000;  // a Unix time in microseconds
    const ClockCase cases[] = {
        {"no offset, no drift", 0, 0, 5'000'000, 0},
        {"offset ahead", 1700, 0, 5'000'000, 1'700'000},
        {"offset behind", -800, 0, 1, -800'000},
        {"drift 40 ppm over 1000 s gains 40 ms", 0, 40, 1'000'000'000, 40'000},
        {"negative drift with offset", -800, -40, 1'000'000'000, -840'000},
        {"fractional ppm", 0, 0.5, 2'000'000'000, 1'000},
        {"drift at the start adds nothing", 1700, 40, 0, 1'700'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        DecoderClock clock(kStart, c.offsetMs, c.driftPpm);
        EXPECT_EQ(kStart + c.elapsedUs + c.expectedAheadUs, clock.ReadingAt(kStart + c.elapsedUs));
    }
}

TEST(SimulatorClock, SettingKeepsDriftAndGpsRemovesIt) {
    constexpr int64_t kStart = 1'765'000'000'000'000;
    DecoderClock clock(kStart, 5000, 100);
    const int64_t setAt = kStart + 10'000'000;
    clock.SetAt(setAt, setAt + 250);
    EXPECT_EQ(setAt + 250, clock.ReadingAt(setAt));
    EXPECT_EQ(setAt + 250 + 1'000'000 + 100, clock.ReadingAt(setAt + 1'000'000));
    const int64_t gpsAt = setAt + 2'000'000;
    clock.FollowTrueTime(gpsAt);
    EXPECT_EQ(gpsAt + 3'000'000, clock.ReadingAt(gpsAt + 3'000'000));
    EXPECT_EQ(0.0, clock.DriftPpm());
}

struct LocalCase {
    const char* legend;
    int year, month, day, hour, minute, second;
    bool valid;
};

TEST(SimulatorClock, LocalCalendarSecond) {
    const LocalCase cases[] = {
        {"ordinary date", 2026, 12, 8, 4, 5, 6, true},
        {"leap day", 2024, 2, 29, 23, 59, 59, true},
        {"first of the century", 2000, 1, 1, 0, 0, 0, true},
        {"year byte 255", 2255, 6, 1, 12, 0, 0, true},
        {"no leap day in 2026", 2026, 2, 29, 0, 0, 0, false},
        {"month 0", 2026, 0, 1, 0, 0, 0, false},
        {"month 13", 2026, 13, 1, 0, 0, 0, false},
        {"day 0", 2026, 5, 0, 0, 0, 0, false},
        {"31 April", 2026, 4, 31, 0, 0, 0, false},
        {"hour 24", 2026, 5, 1, 24, 0, 0, false},
        {"minute 60", 2026, 5, 1, 0, 60, 0, false},
        {"second 60", 2026, 5, 1, 0, 0, 60, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const auto us = LocalSecondToUnixUs(c.year, c.month, c.day, c.hour, c.minute, c.second);
        ASSERT_EQ(c.valid, us.has_value());
        if (!c.valid) continue;
        const ClockFields f = LocalFields(*us + 999'999);
        EXPECT_EQ(c.year, f.year);
        EXPECT_EQ(c.month, f.month);
        EXPECT_EQ(c.day, f.day);
        EXPECT_EQ(c.hour, f.hour);
        EXPECT_EQ(c.minute, f.minute);
        EXPECT_EQ(c.second, f.second);
        EXPECT_EQ(999, f.millisecond);
    }
}

TEST(SimulatorArrivalLog, LineFormat) {
    EXPECT_EQ("1765000000123456 PITIN 00 07 01 00 00 00 04 0D 0A",
              FormatArrivalLine({1765000000123456, "PITIN", Cmd(7)}));
    EXPECT_EQ("7 T1 00 FF AB", FormatArrivalLine({7, "T1", Bytes({0, 255, 0xAB})}));
}

}  // namespace
}  // namespace sincrovia::sim
