// The synchronizer's rules on their own: firmware, readiness of the slots, the port-choice
// file, passage texts, the verdict and the alignment instant.
#include <gtest/gtest.h>

#include <cmath>

#include "app/Decisions.h"

namespace sincrovia {
namespace {

constexpr char kMin[] = "6.33.1";

TEST(DecisionsFirmware, TextualComparisonWithTheMinimum) {
    const struct {
        const char* legend;
        const char* version;
        bool below;
    } cases[] = {
        {"the minimum itself passes", "6.33.1", false},
        {"two-part release below", "6.33", true},
        {"later patch compares as text", "6.33.10", false},
        {"6.4 sorts after 6.33", "6.4", false},
        {"10.1.0 sorts before 6", "10.1.0", true},
        {"nothing recognised", "", true},
        {"older patch", "6.33.0", true},
        {"later minor", "6.34", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(c.below, FirmwareBelowMinimum(c.version, kMin));
    }
}

TEST(DecisionsFirmware, VersionTakenFromTheReply) {
    const struct {
        const char* legend;
        const char* reply;
        const char* version;
    } cases[] = {
        {"three parts", "teKAN - teVO Ver: 6.33.1", "6.33.1"},
        {"two parts", "teKAN - teVO Ver: 6.33", "6.33"},
        {"banner after other bytes, text after the version", "xx teKAN - teVO Ver: 6.40.2 build", "6.40.2"},
        {"no version at all", "teKAN - teVO Ver: unknown", ""},
        {"three-digit part: the match starts later", "teKAN - teVO Ver: 123.45.6", "23.45.6"},
        {"first of two versions", "teKAN - teVO Ver: 6.33.1 / 7.1", "6.33.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(c.version, ExtractFirmwareVersion(c.reply));
    }
}

TEST(DecisionsReadiness, FirstSlotThatKeepsAProcedureFromStarting) {
    using L = FirmwareLabelState;
    const SlotReadiness idle{"", L::NotOpen, false};
    const SlotReadiness good{"6.33.1", L::Accepted, true};
    const struct {
        const char* legend;
        std::array<SlotReadiness, 4> slots;
        int expected;
    } cases[] = {
        {"all slots fit", {{good, good, idle, good}}, 0},
        {"no slot chosen at all", {{idle, idle, idle, idle}}, 0},
        {"old release on slot 2", {{good, {"6.33", L::Refused, true}, good, good}}, 2},
        {"open without firmware reply on slot 3", {{good, good, {"", L::OpenNoReply, true}, good}}, 3},
        {"chosen port that did not open on slot 1", {{{"", L::NotOpen, true}, good, good, good}}, 1},
        {"red label without a version passes", {{{"", L::Refused, true}, good, good, good}}, 0},
        {"first failing slot wins", {{good, {"", L::OpenNoReply, true}, {"6.1", L::Refused, true}, good}}, 2},
        {"version kept from before a close still counts", {{{"6.2", L::NotOpen, false}, good, good, good}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(c.expected, FirstUnreadySlot(c.slots, kMin));
    }
}

TEST(DecisionsReadiness, RefusalMessageEndsWithTheRelease) {
    const std::string text = DecodersNotReadyMessage(kMin);
    EXPECT_EQ(0u, text.find("Unable to continue for one or more of the following reasons:\n\r  1) at least one"));
    EXPECT_NE(std::string::npos, text.find("power off!\n\r  3) at least one COM has raised an opening error!\n\r\n\r"));
    const std::string tail = "greater than release 6.33.1!";
    EXPECT_EQ(text.size() - tail.size(), text.rfind(tail));
}

TEST(DecisionsComFile, ReadingThePortChoice) {
    const struct {
        const char* legend;
        const char* content;
        std::array<const char*, 4> expected;  // nullptr: no line for the slot
    } cases[] = {
        {"two slots, CR LF", "CmbCOMPort_1=ttyUSB0\r\nCmbCOMPort_3=PITIN\r\n", {"ttyUSB0", nullptr, "PITIN", nullptr}},
        {"bare LF and no final line end", "CmbCOMPort_2=COM7\nCmbCOMPort_4=T1", {nullptr, "COM7", nullptr, "T1"}},
        {"name in other letter case", "cmbcomport_2=COM7\r\n", {nullptr, "COM7", nullptr, nullptr}},
        {"value keeps everything after the first =", "CmbCOMPort_1=a=b\r\n", {"a=b", nullptr, nullptr, nullptr}},
        {"lines without = and other names skipped",
         "junk\r\nCmbMaxErrSync=50\r\nCmbCOMPort_5=X\r\nCmbCOMPort_=Y\r\n",
         {nullptr, nullptr, nullptr, nullptr}},
        {"later line wins", "CmbCOMPort_1=A\r\nCmbCOMPort_1=B\r\n", {"B", nullptr, nullptr, nullptr}},
        {"empty value is a line for the slot", "CmbCOMPort_1=\r\n", {"", nullptr, nullptr, nullptr}},
        {"empty file", "", {nullptr, nullptr, nullptr, nullptr}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const ComSelection got = ParseComSelection(c.content);
        for (std::size_t i = 0; i < 4; ++i) {
            if (c.expected[i] == nullptr) {
                EXPECT_FALSE(got[i].has_value()) << "slot " << i + 1;
            } else {
                ASSERT_TRUE(got[i].has_value()) << "slot " << i + 1;
                EXPECT_EQ(c.expected[i], *got[i]);
            }
        }
    }
}

TEST(DecisionsComFile, WritingThePortChoice) {
    EXPECT_EQ("CmbCOMPort_1=PITIN\r\nCmbCOMPort_3=START\r\n", FormatComSelection({"PITIN", "", "START", ""}));
    EXPECT_EQ("", FormatComSelection({"", "", "", ""}));
    const std::array<std::string, 4> all{"A", "B", "C", "D"};
    const ComSelection back = ParseComSelection(FormatComSelection(all));
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(all[i], back[i].value_or("?"));
}

TEST(DecisionsReading, PassageTextToDateTime) {
    const struct {
        const char* legend;
        const char* text;
        int year, month, day, hour, minute, second, ms;
        uint32_t transponder;
    } cases[] = {
        {"the worked example", "0000002-17-08-13-17-45-00-214-0108-000-00000001-001", 2017, 8, 13, 17, 45, 0, 214, 2},
        {"exactly eight fields", "1005-26-12-31-23-59-59-999", 2026, 12, 31, 23, 59, 59, 999, 1005},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const auto fields = SplitFields(c.text);
        const TDateTime got = FieldsToDateTime(fields);
        const DateTimeFields f = DecodeDateTime(got);
        EXPECT_EQ(c.year, f.year);
        EXPECT_EQ(c.month, f.month);
        EXPECT_EQ(c.day, f.day);
        EXPECT_EQ(c.hour, f.hour);
        EXPECT_EQ(c.minute, f.minute);
        EXPECT_EQ(c.second, f.second);
        EXPECT_EQ(c.ms, f.millisecond);
        EXPECT_EQ(c.transponder, TransponderNumber(fields));
    }
}

TEST(DecisionsReading, TextsThatAreNoReading) {
    const struct {
        const char* legend;
        const char* text;
        bool dateFails;
        bool numberFails;
    } cases[] = {
        {"month 13", "0000002-17-13-13-17-45-00-214", true, false},
        {"hour 24", "0000002-17-08-13-24-45-00-214", true, false},
        {"millisecond 1000", "0000002-17-08-13-17-45-00-1000", true, false},
        {"31 February", "0000002-17-02-31-17-45-00-214", true, false},
        {"seven fields", "0000002-17-08-13-17-45-00", true, false},
        {"letters in the minute", "0000002-17-08-13-17-4x-00-214", true, false},
        {"hexadecimal is no decimal field", "0000002-17-08-13-17-$1F-00-214", true, false},
        {"transponder is no number", "ABC-17-08-13-17-45-00-214", false, true},
        {"empty text", "", true, true},
        {"one field only", "garbage", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const auto fields = SplitFields(c.text);
        if (c.dateFails)
            EXPECT_ANY_THROW(FieldsToDateTime(fields));
        else
            EXPECT_NO_THROW(FieldsToDateTime(fields));
        if (c.numberFails)
            EXPECT_THROW(TransponderNumber(fields), ReadingError);
        else
            EXPECT_NO_THROW(TransponderNumber(fields));
    }
}

TEST(DecisionsReading, FieldErrorsSayWhichText) {
    try {
        FieldsToDateTime(SplitFields("2-17-08-13-17-4x-00-214"));
        FAIL() << "no error";
    } catch (const ReadingError& e) {
        EXPECT_STREQ("'4x' is not a valid integer value", e.what());
    }
    EXPECT_EQ(std::vector<std::string>({"a", "", "b", ""}), SplitFields("a--b-"));
}

TEST(DecisionsReading, TransponderLogTexts) {
    EXPECT_EQ("Only Transponder with Id Not greater than '1005' are Valid! IdTransponder Received: 1006",
              TransponderRejectedText(1006, 1005));
    EXPECT_EQ("IdTransponder Received: 2", TransponderAcceptedText(2));
}

/// A reading `ms` milliseconds after a fixed instant.
TDateTime At(double ms) { return EncodeDate(2026, 12, 8) + EncodeTime(10, 0, 0, 0) + ms / kMsPerDay; }

SpreadInput Readings(std::initializer_list<double> offsetsMs, double pcMs, const char* threshold = "50") {
    SpreadInput in;
    std::size_t i = 0;
    for (const double ms : offsetsMs) {
        in.readingTime[i] = At(ms);
        in.readingValid[i] = true;
        in.decoderTime[i] = At(ms);
        ++i;
    }
    in.allTimeBoxesEmpty = i == 0;
    in.pcTimeOnRead = At(pcMs);
    in.threshold = threshold;
    return in;
}

TEST(DecisionsVerdict, SpreadAndPcDifference) {
    using C = LampColor;
    const struct {
        const char* legend;
        SpreadInput in;
        C lamp;
        TSyncResult result;
        C spreadBox;
        C pcBox;
    } cases[] = {
        {"49 ms apart", Readings({0, 49}, 24.5), C::Green, srOK, C::Green, C::Green},
        {"51 ms apart", Readings({0, 51}, 25.5), C::Red, srKO, C::Red, C::Red},
        {"spread equal to the threshold is KO", Readings({0, 50}, 25), C::Red, srKO, C::Red, C::Red},
        {"one valid slot: spread 0", Readings({7}, 7), C::Green, srOK, C::Green, C::Green},
        {"PC 499 ms from the mean passes", Readings({0, 10}, 504), C::Green, srOK, C::Green, C::Green},
        {"PC exactly at the limit passes", Readings({0, 10}, 505), C::Green, srOK, C::Green, C::Green},
        {"PC 501 ms from the mean: warning", Readings({0, 10}, 506), C::Yellow, srWarning, C::Green, C::Red},
        {"10 apart, PC 600: spread box green, lamp yellow", Readings({0, 10}, 605), C::Yellow, srWarning, C::Green,
         C::Red},
        {"80 apart, PC 600: all red", Readings({0, 80}, 640), C::Red, srKO, C::Red, C::Red},
        {"no reading at all: red lamp, idle text", Readings({}, 0), C::Red, srIdle, C::Red, C::Red},
        {"empty threshold: KO", Readings({0, 1}, 0, ""), C::Red, srKO, C::Red, C::Red},
        {"threshold 90 takes 80 apart", Readings({0, 80}, 40, "90"), C::Green, srOK, C::Green, C::Green},
        {"four decoders, widest pair decides", Readings({0, 30, -15, 20}, 9), C::Green, srOK, C::Green, C::Green},
        {"four decoders, 1700 and -800", Readings({1700, -800, 300, 40}, 0), C::Red, srKO, C::Red, C::Red},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const SpreadVerdict v = EvaluateSpreadDecision(c.in);
        EXPECT_EQ(c.lamp, v.lamp);
        EXPECT_EQ(c.result, v.result);
        EXPECT_EQ(c.spreadBox, v.spreadBox);
        EXPECT_EQ(c.pcBox, v.pcBox);
        EXPECT_EQ(!c.in.allTimeBoxesEmpty, v.showValues);
    }
}

TEST(DecisionsVerdict, ValuesShown) {
    SpreadInput in = Readings({1700, -800, 300, 40}, 0);
    // Slot 4 was a rejected transponder: not valid, but its time is in the mean.
    in.readingValid[3] = false;
    in.decoderTime[3] = At(1000);
    const SpreadVerdict v = EvaluateSpreadDecision(in);
    EXPECT_NEAR(2500.0, v.maxDiff * kMsPerDay, 1e-3);
    EXPECT_NEAR(550.0, (v.mean - At(0)) * kMsPerDay, 1e-3);
    EXPECT_NEAR(550.0, v.pcDiff * kMsPerDay, 1e-3);
    // No decoder time at all: the mean is 0 and the PC difference is the whole PC time.
    SpreadInput none = Readings({5}, 0);
    none.decoderTime.fill(0);
    EXPECT_EQ(0.0, EvaluateSpreadDecision(none).mean);
}

TEST(DecisionsVerdict, ReadingsThatDidNotCountMakeItKo) {
    using S = ReadingStatus;
    const struct {
        const char* legend;
        S status;
        const char* reason;
    } cases[] = {
        {"an asked slot without a reply", S::NoReply, "Decoder PIT OUT (HID2): no reply to the clock request"},
        {"a reply that did not decode", S::BadReply, "Decoder PIT OUT (HID2): reply did not decode (month 13)"},
        {"a reply that came after the wait", S::Late, "Decoder PIT OUT (HID2): reply came only after the wait"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        // Slots 1 and 3 agree to the millisecond; slot 2 failed.
        SpreadInput in = Readings({0, 0, 0}, 0);
        in.readingValid[1] = false;
        in.decoderTime[1] = 0;
        in.status = {S::Ok, c.status, S::Ok, S::Closed};
        const SpreadVerdict v = EvaluateSpreadDecision(in);
        EXPECT_EQ(LampColor::Red, v.lamp);
        EXPECT_EQ(srKO, v.result);
        EXPECT_FALSE(v.showDifferences);
        EXPECT_EQ(LampColor::Red, v.pcBox);
        EXPECT_EQ(c.reason, VerdictReason(in, v, {"", "Decoder PIT OUT (HID2)", "", ""}, {"", "month 13", "", ""}));
    }
    // Every asked slot failed: KO as well, not the idle text of a round with nothing asked.
    SpreadInput none = Readings({}, 0);
    none.status = {S::NoReply, S::NoReply, S::Closed, S::Closed};
    EXPECT_EQ(srKO, EvaluateSpreadDecision(none).result);
}

TEST(DecisionsVerdict, OneMillisecondValueIsShownAndJudged) {
    const struct {
        const char* legend;
        double pcMs;  // readings at 0 and 10: mean 5
        int64_t pcDiffMs;
        TSyncResult result;
    } cases[] = {
        {"500.4 ms shows 500 and passes the 500 ms limit", 505.4, 500, srOK},
        {"500.5 ms shows 501 and fails it", 505.5, 501, srWarning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        const SpreadVerdict v = EvaluateSpreadDecision(Readings({0, 10}, c.pcMs));
        EXPECT_EQ(c.pcDiffMs, v.pcDiffMs);
        EXPECT_EQ(c.result, v.result);
    }
    EXPECT_EQ("00h 00m 02s 500ms", DifferenceText(2500));
    EXPECT_EQ("1d 00h 00m 05s 000ms", DifferenceText(86'405'000)) << "a day or more is shown in full";
    EXPECT_EQ(86'405'000, EvaluateSpreadDecision(Readings({0, 86'405'000.0}, 0, "50")).maxDiffMs);
}

TEST(DecisionsVerdict, ASlowReplyOrASteppedPcClockIsNoOk) {
    const struct {
        const char* legend;
        int64_t roundTripUs;  // of slot 2; slot 1 answered in 5 ms
        bool stepped;
        TSyncResult result;
        const char* reason;
    } cases[] = {
        {"49 ms round trip at threshold 50", 49'000, false, srOK, ""},
        {"50 ms: not longer than the threshold", 50'000, false, srOK, ""},
        {"51 ms: warning naming the decoder", 51'000, false, srWarning,
         "Decoder PIT OUT (HID2): its reply took 51.0 ms, more than the threshold of 50 ms"},
        {"a PC clock step since the synchronisation", 5'000, true, srWarning,
         "PC clock stepped +1.204 s at 14:03:11, after the last synchronisation"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        SpreadInput in = Readings({0, 10}, 5);
        in.status = {ReadingStatus::Ok, ReadingStatus::Ok, ReadingStatus::Closed, ReadingStatus::Closed};
        in.roundTripUs = {5'000, c.roundTripUs, 0, 0};
        in.pcClockStepped = c.stepped;
        in.pcClockStepText = "PC clock stepped +1.204 s at 14:03:11";
        const SpreadVerdict v = EvaluateSpreadDecision(in);
        EXPECT_EQ(c.result, v.result);
        EXPECT_EQ(c.reason, VerdictReason(in, v, {"Decoder PIT IN (HID1)", "Decoder PIT OUT (HID2)", "", ""}, {}));
    }
    // The decoder stamps when the 9-byte request has reached it; what the round trip holds
    // beyond the two frames' line times, and the half millisecond of a whole-millisecond
    // reading, is the uncertainty.
    const ReadingTiming t = TimeReading(1'000'000, 1'025'000, 2'700'282, 782, 2'783);
    EXPECT_EQ(25'000, t.roundTripUs);
    EXPECT_EQ(1'700'000, t.offsetUs);
    EXPECT_EQ(21'935, t.uncertaintyUs);
    EXPECT_EQ("round trip 25.0 ms, offset to PC +1700.0 ms +/- 21.9 ms", ReadingTimingText(t));
}

TEST(DecisionsRounds, OnlyTheReplyToThisRoundsRequestCounts) {
    constexpr int64_t kStaleMs = 3000;
    const std::array<bool, 4> two{true, true, false, false};
    RoundBook book;
    book.Open(RoundKind::Read, 0, two, 1000);
    EXPECT_EQ(ReplyClaim::Late, book.Claim(3, 1010, kStaleMs)) << "a slot not asked";
    EXPECT_EQ(ReplyClaim::Answer, book.Claim(1, 1020, kStaleMs));
    book.RecordOk(1, 1.0);
    EXPECT_FALSE(book.Complete());
    book.Close();  // judged before slot 2 answered
    EXPECT_EQ(ReadingStatus::NoReply, book.status[1]);
    EXPECT_EQ(ReplyClaim::Late, book.Claim(2, 1600, kStaleMs)) << "its reply after the verdict";

    // Slot 2 misses round 2's wait; round 3's request goes out before round 2's reply comes:
    // that reply is round 2's, late, and round 3 still waits for its own.
    book.Open(RoundKind::Read, 0, two, 2000);
    EXPECT_EQ(ReplyClaim::Answer, book.Claim(1, 2010, kStaleMs));
    book.RecordOk(1, 1.0);
    book.Close();
    book.Open(RoundKind::Read, 0, two, 2500);
    EXPECT_EQ(ReplyClaim::Late, book.Claim(2, 2600, kStaleMs));
    EXPECT_EQ(ReplyClaim::Answer, book.Claim(2, 2620, kStaleMs));
    book.RecordBad(2, "month 13");
    EXPECT_EQ(ReadingStatus::BadReply, book.status[1]);
    EXPECT_EQ(ReplyClaim::Answer, book.Claim(1, 2630, kStaleMs));
    book.RecordOk(1, 1.0);
    EXPECT_TRUE(book.Complete());

    // Only a late reply while awaited: the slot ends Late. A request older than the horizon
    // waits no more, so a decoder that once lost a reply is not out of step for ever.
    book.Open(RoundKind::Read, 0, two, 10000);
    book.Open(RoundKind::Read, 0, two, 10100);
    EXPECT_EQ(ReplyClaim::Late, book.Claim(1, 10200, kStaleMs));
    book.Close();
    EXPECT_EQ(ReadingStatus::Late, book.status[0]);
    book.Open(RoundKind::Read, 0, two, 20000);
    EXPECT_EQ(ReplyClaim::Answer, book.Claim(2, 20030, kStaleMs));
}

TEST(DecisionsAlignment, WriteInstantFromTheStartOfTheLoop) {
    const int64_t second = 1'765'000'000'000;  // a whole second in Unix milliseconds
    const struct {
        const char* legend;
        int startMs;
        int64_t plannedMs;  // relative to `second`
    } cases[] = {
        {"starting at .200 writes at .500 of the same second", 200, 500},
        {"starting at .490 still waits for .500", 490, 500},
        {"starting at .499", 499, 500},
        {"starting at .500 writes at once", 500, 500},
        {"starting at .507 writes at once", 507, 507},
        {"starting at .510, the last instant of the window", 510, 510},
        {"starting at .511 waits for the next second", 511, 1500},
        {"starting at .700 writes in the next second", 700, 1500},
        {"starting at .000", 0, 500},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(second + c.plannedMs, PlannedAlignmentUnixMs(second + c.startMs));
        const int plannedMs = static_cast<int>((second + c.plannedMs) % 1000);
        EXPECT_TRUE(IsAlignmentInstant(plannedMs));
    }
    for (const int ms : {0, 489, 490, 499, 511, 999}) EXPECT_FALSE(IsAlignmentInstant(ms)) << ms;
}

TEST(DecisionsAlignment, Countdown) {
    EXPECT_EQ("1.532", CountdownText(1532));
    EXPECT_EQ("2.000", CountdownText(2000));
    EXPECT_EQ("0.007", CountdownText(7));
    EXPECT_EQ("0.000", CountdownText(-4));
}

}  // namespace
}  // namespace sincrovia
