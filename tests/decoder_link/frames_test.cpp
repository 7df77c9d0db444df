// Command frames: bytes, checksum rule, date payload and the log line, byte for byte.
#include <gtest/gtest.h>

#include "decoder_link/Frames.h"

namespace sincrovia {
namespace {

TDateTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
    return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, ms);
}

LinkSettings Settings(const std::string& idRx, bool halved) {
    LinkSettings s;
    s.IdRx = idRx;
    s.ProtocolloTeKan = halved;
    return s;
}

TEST(Frames, CommandFramesByteForByte) {
    const TDateTime when = At(2026, 12, 8, 4, 5, 6, 250);
    const struct {
        const char* legend;
        DecoderCommand command;
        std::string idRx;
        bool halved;
        const char* hex;
    } cases[] = {
        {"reset timer, halved checksum", DecoderCommand::ResetTimer, "1", true, "00 07 01 00 00 00 04 0D 0A"},
        {"reset timer, full checksum", DecoderCommand::ResetTimer, "1", false, "00 07 01 00 00 00 08 0D 0A"},
        {"firmware request", DecoderCommand::FirmwareRequest, "1", true, "00 01 01 00 00 00 01 0D 0A"},
        {"manual lap: odd sum 53 loses its last bit", DecoderCommand::ManualLap, "1", true,
         "00 34 01 00 00 00 1A 0D 0A"},
        {"manual lap, reader 2: sum 54", DecoderCommand::ManualLap, "2", true, "00 34 02 00 00 00 1B 0D 0A"},
        {"reset GPS", DecoderCommand::ResetGps, "1", true, "00 37 01 00 00 00 1C 0D 0A"},
        {"reader 250, halved: 257 / 2", DecoderCommand::ResetTimer, "250", true, "00 07 FA 00 00 00 80 0D 0A"},
        {"reader 250, full: 257", DecoderCommand::ResetTimer, "250", false, "00 07 FA 00 00 01 01 0D 0A"},
        {"reader text with leading zeros", DecoderCommand::ResetTimer, "007", false, "00 07 07 00 00 00 0E 0D 0A"},
        {"checksum byte equal to CR", DecoderCommand::ResetTimer, "6", false, "00 07 06 00 00 00 0D 0D 0A"},
        {"checksum byte equal to LF", DecoderCommand::ResetTimer, "3", false, "00 07 03 00 00 00 0A 0D 0A"},
    };
    for (const auto& c : cases) {
        const BuiltFrame f = BuildCommandFrame(c.command, Settings(c.idRx, c.halved), when);
        EXPECT_EQ(HexBytes(f.bytes), c.hex) << c.legend;
    }
}

TEST(Frames, SetDateTimePayload) {
    const struct {
        const char* legend;
        TDateTime when;
        const char* hex;
    } cases[] = {
        {"Tuesday 8 December 2026 04:05:06", At(2026, 12, 8, 4, 5, 6, 0),
         "00 03 01 1A 0C 08 01 04 05 06 00 00 00 21 0D 0A"},
        {"Sunday carries 6", At(2026, 12, 13, 0, 0, 0, 0), "00 03 01 1A 0C 0D 06 00 00 00 00 00 00 1E 0D 0A"},
        {"Monday carries 0", At(2026, 12, 14, 0, 0, 0, 0), "00 03 01 1A 0C 0E 00 00 00 00 00 00 00 1C 0D 0A"},
        {"a hair before midnight rounds to the next day, weekday included",
         At(2026, 12, 13, 23, 59, 59, 999) + 0.9 / kMsPerDay, "00 03 01 1A 0C 0E 00 00 00 00 00 00 00 1C 0D 0A"},
        {"milliseconds never sent", At(2026, 12, 8, 23, 59, 59, 999),
         "00 03 01 1A 0C 08 01 17 3B 3B 00 00 00 60 0D 0A"},
        {"year 2000 sends 0", At(2000, 1, 1, 0, 0, 0, 0), "00 03 01 00 01 01 05 00 00 00 00 00 00 05 0D 0A"},
        {"1999 wraps to 255", At(1999, 12, 31, 0, 0, 0, 0), "00 03 01 FF 0C 1F 04 00 00 00 00 00 00 99 0D 0A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HexBytes(BuildSetDateTimeFrame(LinkSettings{}, c.when).bytes), c.hex) << c.legend;
    }
}

TEST(Frames, LogLines) {
    const TDateTime when = At(2026, 12, 8, 4, 5, 6, 250);
    const struct {
        const char* legend;
        DecoderCommand command;
        const char* tag;
        const char* line;
    } cases[] = {
        {"reset timer: label keeps its trailing blank", DecoderCommand::ResetTimer, "Cmd_07_Rst_Timer ",
         "Cmd_07_Rst_Timer : Sending time 04h:05m:06s.250ms - StartMSG(00) Command(07) IdReader(01) "
         "ChksHH(00) ChksHL(00) ChksLH(00) ChksLL(04) ChksVal(4) EndMsg1(13) EndMsg2(10)"},
        {"set date/time: date fields, own tag", DecoderCommand::SetDateTime, "SetDateTime",
         "Cmd_03_Set_DateTm: Sending time 04h:05m:06s.250ms - StartMSG(00) Command(03) IdReader(01) "
         "Year(26) Month(12) Day(08) DayOfWeek(1) Hours(04) Minutes(05) Seconds(06) "
         "ChksHH(00) ChksHL(00) ChksLH(00) ChksLL(33) ChksVal(33) EndMsg1(13) EndMsg2(10)"},
    };
    for (const auto& c : cases) {
        const BuiltFrame f = BuildCommandFrame(c.command, LinkSettings{}, when);
        EXPECT_EQ(f.tag, c.tag) << c.legend;
        EXPECT_EQ(f.logLine, c.line) << c.legend;
    }
    // The checksum value spans all four bytes.
    EXPECT_EQ(FrameLogLine("X", when, std::string("\x00\x07\xFA\x00\x00\x01\x01\r\n", 9)),
              "X: Sending time 04h:05m:06s.250ms - StartMSG(00) Command(07) IdReader(250) "
              "ChksHH(00) ChksHL(00) ChksLH(01) ChksLL(01) ChksVal(257) EndMsg1(13) EndMsg2(10)");
}

TEST(Frames, EveryLogLineStartsWithItsLabel) {
    const std::pair<DecoderCommand, std::string> labels[] = {{DecoderCommand::FirmwareRequest, "Cmd_01_FrmWr_Ver "},
                                                             {DecoderCommand::SetDateTime, "Cmd_03_Set_DateTm"},
                                                             {DecoderCommand::ResetTimer, "Cmd_07_Rst_Timer "},
                                                             {DecoderCommand::ManualLap, "Cmd_52_Manual_Lap"},
                                                             {DecoderCommand::ResetGps, "Cmd_55_Reset_GPS "}};
    for (const auto& [command, label] : labels) {
        EXPECT_EQ(BuildCommandFrame(command, LinkSettings{}, 0).logLine.substr(0, 19), label + ": ") << label;
    }
}

TEST(Frames, DeferredResetFollowsTheTimeMode) {
    const struct {
        const char* legend;
        bool absolute, halved;
        const char* hex;
        bool setsReference;
    } cases[] = {
        {"absolute times: reset timer", true, true, "00 07 01 00 00 00 04 0D 0A", false},
        {"relative times: command 5 restarts the reference", false, true, "00 05 01 00 00 00 03 0D 0A", true},
        {"relative times, full checksum", false, false, "00 05 01 00 00 00 06 0D 0A", true},
    };
    for (const auto& c : cases) {
        LinkSettings s;
        s.TempiAssoluti = c.absolute;
        s.ProtocolloTeKan = c.halved;
        const DeferredReset r = BuildDeferredResetFrame(s);
        EXPECT_EQ(HexBytes(r.bytes), c.hex) << c.legend;
        EXPECT_EQ(r.setsReferenceTime, c.setsReference) << c.legend;
    }
}

TEST(Frames, ReaderIdThatIsNotANumberIsRefused) {
    EXPECT_THROW(BuildCommandFrame(DecoderCommand::ResetTimer, Settings("1x", true), 0), ConversionError);
}

TEST(Frames, TransmissionTimeOfAFrame) {
    struct Case {
        const char* legend;
        std::size_t bytes;
        LineCharacter line;
        int64_t expectedUs;
    };
    const Case cases[] = {
        {"the set-time frame at the link's 115000 baud, 8N1", 16, {115000, 8, false, 0}, 1391},
        {"parity and two stop bits: 12 bits a byte", 16, {115000, 8, true, 2}, 1670},
        {"one and a half stop bits at 9600", 1, {9600, 8, false, 1}, 1094},
        {"no line", 16, {0, 8, false, 0}, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(TransmissionUs(c.bytes, c.line), c.expectedUs) << c.legend;
}
}  // namespace
}  // namespace sincrovia
