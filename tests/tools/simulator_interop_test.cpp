// The simulated decoder against the program's own decoder link: frames the link builds are
// understood by the simulator, records the simulator builds are cut and read by the link.
#include <gtest/gtest.h>

#include "decoder_link/Frames.h"
#include "decoder_link/Reception.h"
#include "tools/simulator/DecoderProtocol.h"
#include "util/DateTime.h"

namespace sincrovia::sim {
namespace {

struct LinkFrameCase {
    const char* legend;
    const char* idRx;
    bool setDateTime;
    DecoderCommand command;
    int expectedCode;
    int expectedReader;
};

TEST(SimulatorInterop, LinkFramesAreUnderstood) {
    const LinkFrameCase cases[] = {
        {"firmware request", "1", false, DecoderCommand::FirmwareRequest, 1, 1},
        {"reset timer", "1", false, DecoderCommand::ResetTimer, 7, 1},
        {"manual lap, odd byte sum", "1", false, DecoderCommand::ManualLap, 52, 1},
        {"manual lap, reader 2", "2", false, DecoderCommand::ManualLap, 52, 2},
        {"reset GPS with reader 250", "250", false, DecoderCommand::ResetGps, 55, 250},
        {"checksum byte equal to CR", "19", false, DecoderCommand::ResetTimer, 7, 19},
        {"set date and time", "1", true, DecoderCommand::SetDateTime, 3, 1},
        {"set date and time, reader 250", "250", true, DecoderCommand::SetDateTime, 3, 250},
    };
    const TDateTime when = EncodeDate(2026, 12, 8) + EncodeTime(4, 5, 6, 500);
    FrameReader reader;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        LinkSettings settings;
        settings.IdRx = c.idRx;
        const BuiltFrame built =
            c.setDateTime ? BuildSetDateTimeFrame(settings, when) : BuildCommandFrame(c.command, settings, when);
        const auto frames = reader.Feed(built.bytes);
        ASSERT_EQ(1u, frames.size()) << HexBytes(built.bytes);
        EXPECT_EQ(c.expectedCode, frames[0].code);
        EXPECT_EQ(c.expectedReader, frames[0].readerId);
        if (c.setDateTime) {
            const ByteString want{26, 12, 8, 1, 4, 5, 6};  // Tuesday = 1
            EXPECT_EQ(want, frames[0].payload);
        }
    }
    EXPECT_EQ(0u, reader.BadChecksumCount());
    EXPECT_EQ(0u, reader.PendingByteCount());
}

TEST(SimulatorInterop, PassageRecordReadsAsTheDecoderTime) {
    const struct {
        const char* legend;
        PassageFields fields;
        const char* text;
    } cases[] = {
        {"the worked example",
         {1, 2017, 8, 13, 17, 45, 0, 214, 1, 2, 108, 0, 0},
         "0000002-17-08-13-17-45-00-214-0108-000-00000001-001"},
        {"highest transponder the program takes, last millisecond of the year",
         {1, 2026, 12, 31, 23, 59, 59, 999, 12345678, 1005, 150, 0, 30},
         "0001005-26-12-31-23-59-59-999-0150-000-12345678-001"},
        {"reader id echoed",
         {4, 2026, 1, 2, 3, 4, 5, 6, 7, 1, 80, 0, 5},
         "0000001-26-01-02-03-04-05-006-0080-000-00000007-004"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        ByteString buffer = "\x01\x02" + BuildPassageRecord(c.fields) + "\x03";
        std::vector<ByteString> records;
        CutRecords(buffer, kTypePassage, sincrovia::kPassageRecordLength,
                   [&](const ByteString& r) { records.push_back(r); });
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ("\x01\x02\x03", buffer);
        EXPECT_EQ(c.text, PassageText(records[0], LinkSettings{}, 0.0));
    }
}

TEST(SimulatorInterop, FirmwareRecordIsCutAtItsOwnLength) {
    for (const bool longForm : {false, true}) {
        SCOPED_TRACE(longForm ? "47 bytes" : "45 bytes");
        ByteString buffer = BuildFirmwareRecord(1, "6.33.1", longForm);
        std::vector<ByteString> short45, long47;
        CutRecords(buffer, kTypeFirmware, sincrovia::kFirmwareRecordLength,
                   [&](const ByteString& r) { short45.push_back(r); });
        CutRecords(buffer, kTypeFirmware, sincrovia::kLongFirmwareRecordLength,
                   [&](const ByteString& r) { long47.push_back(r); });
        ASSERT_EQ(longForm ? 0u : 1u, short45.size());
        ASSERT_EQ(longForm ? 1u : 0u, long47.size());
        const ByteString text = FirmwareText(longForm ? long47[0] : short45[0]);
        EXPECT_EQ(longForm ? 37u : 35u, text.size());
        EXPECT_EQ(0u, text.find("teKAN - teVO Ver: 6.33.1"));
        EXPECT_TRUE(buffer.empty());
    }
}

}  // namespace
}  // namespace sincrovia::sim
