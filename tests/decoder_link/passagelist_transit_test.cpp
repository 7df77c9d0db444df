// Passage list: splitting hit records, decoding them, accumulating transits and publishing
// them, driven by a tick counter the test controls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder_link/PassageList.h"

namespace sincrovia {
namespace {

ByteString Bytes(std::initializer_list<int> values) {
    ByteString s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

ByteString Hit(int second, int third) { return Bytes({0xFF, second, third}); }

// A passage list with recorded output and a settable clock.
struct Fixture {
    LinkSettings settings;
    SharedLinkSettings shared;
    std::vector<std::string> tags, logTexts, delivered, errors;
    int beeps = 0;
    int64_t tickMs = 1'000'000;
    PassageList list;

    explicit Fixture(bool batLow = true, bool beep = false)
        : settings(MakeSettings(batLow, beep)),
          shared(MakeShared(batLow)),
          list(settings, shared,
               {[this](const ByteString& t) { delivered.push_back(t); },
                [this](std::string_view tag, const std::string& t) {
                    tags.emplace_back(tag);
                    logTexts.push_back(t);
                },
                [this](const std::string& m) { errors.push_back(m); }, [this] { ++beeps; }}) {
        list.SetTickSource([this] { return tickMs; });
    }
    static LinkSettings MakeSettings(bool batLow, bool beep) {
        LinkSettings s;
        s.GstFlagBatLow = batLow;
        s.BeepDll = beep;
        return s;
    }
    static SharedLinkSettings MakeShared(bool batLow) {
        SharedLinkSettings s;
        s.IdMask = batLow ? kIdMaskWithBatteryFlag : kIdMaskWithoutBatteryFlag;
        return s;
    }
    // Tags other than the two written at every split.
    std::vector<std::string> HitTags() const {
        std::vector<std::string> out;
        for (const auto& t : tags)
            if (t != kTagReceived && t != kTagResidue) out.push_back(t);
        return out;
    }
    void HitAt(int64_t ms, int number, int times = 1) {
        tickMs = ms;
        ByteString buffer;
        for (int i = 0; i < times; ++i) buffer += Hit(0x80, number);
        list.ProcessHitRecords(buffer);
    }
};

TEST(PassageListSplit, RecordsResidueAndResynchronisation) {
    struct Case {
        const char* legend;
        std::vector<ByteString> buffers;
        std::vector<std::string> names;  // entries created, in order
        ByteString residue;
        int rejected;
        std::vector<int64_t> positions;  // SqDato of each accepted record
    };
    const std::vector<Case> cases = {
        {"complete record followed by the start of the next: the start waits as residue",
         {Bytes({0xFF, 0x80, 0x01, 0xFF, 0x80})},
         {"00001"},
         Bytes({0xFF, 0x80}),
         0,
         {1}},
        {"residue completed by the next buffer",
         {Bytes({0xFF, 0x80, 0x01, 0xFF, 0x80}), Bytes({0x02})},
         {"00001", "00002"},
         {},
         0,
         {1, 1}},
        {"a record followed by a stray byte is rejected byte by byte until the next marker",
         {Bytes({0xFF, 0x80, 0x01, 0x12, 0xFF, 0x80, 0x02})},
         {"00002"},
         {},
         4,
         {5}},
        {"garbage only: the last two bytes wait as residue",
         {Bytes({0x12, 0x34, 0x56, 0x78})},
         {},
         Bytes({0x56, 0x78}),
         2,
         {}},
        {"empty buffer: nothing happens", {ByteString()}, {}, {}, 0, {}},
        {"three records back to back",
         {Hit(0x80, 1) + Hit(0x80, 2) + Hit(0x80, 3)},
         {"00001", "00002", "00003"},
         {},
         0,
         {1, 4, 7}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Fixture f;
        for (const ByteString& b : c.buffers) f.list.ProcessHitRecords(b);
        std::vector<std::string> names;
        for (const PassageEntry& e : f.list.LstRx()) names.push_back(e.text.substr(0, 5));
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(f.list.ResidueBuffer(), c.residue);
        int rejected = 0;
        std::vector<int64_t> positions;
        for (size_t i = 0; i < f.tags.size(); ++i) {
            if (f.tags[i] == kTagBadStructure) ++rejected;
            if (f.tags[i] == kTagFirstHeard) positions.push_back(std::stoll(f.logTexts[i].substr(27, 8)));
        }
        EXPECT_EQ(rejected, c.rejected);
        EXPECT_EQ(positions, c.positions);
    }
}

TEST(PassageListSplit, LogsResidueAndReceivedDumps) {
    Fixture f;
    f.list.ProcessHitRecords(Bytes({0xFF, 0x80, 0x01, 0xFF}));
    f.list.ProcessHitRecords(Bytes({0x80, 0x02}));
    ASSERT_GE(f.tags.size(), 4u);
    EXPECT_EQ(f.tags[0], kTagReceived);
    EXPECT_EQ(f.logTexts[0], "-255-128-001-255");
    // Second split: the residue first, then the new bytes alone.
    const auto residue = std::find(f.tags.begin(), f.tags.end(), std::string(kTagResidue));
    ASSERT_NE(residue, f.tags.end());
    const size_t at = static_cast<size_t>(residue - f.tags.begin());
    EXPECT_EQ(f.logTexts[at], "-255");
    EXPECT_EQ(f.tags[at + 1], kTagReceived);
    EXPECT_EQ(f.logTexts[at + 1], "-128-002");
}

TEST(PassageListDecode, NumberTagBatteryAndConstraints) {
    struct Case {
        const char* legend;
        bool batLow;
        int second, third;
        const char* number;  // nullptr: dropped
        char tag;
        const char* battery;
    };
    const std::vector<Case> cases = {
        {"battery flag used: 0xA0 is tag 2 with the flag set", true, 0xA0, 0x05, "00005", '2', "-1"},
        {"battery flag not used: bit 5 extends the number", false, 0xA0, 0x05, "08197", '2', "-0"},
        {"tag 3 and a high part of 1", true, 0xC1, 0x02, "00258", '3', "-0"},
        {"14-bit number at its top", false, 0x3F, 0xFE, "16382", '0', "-0"},
        {"second byte 0x00 is dropped", true, 0x00, 0x05, nullptr, ' ', ""},
        {"second byte 0xFF is dropped", true, 0xFF, 0x05, nullptr, ' ', ""},
        {"third byte 0x00 is dropped", true, 0x80, 0x00, nullptr, ' ', ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Fixture f(c.batLow);
        f.list.DecodeHitRecord(Hit(c.second, c.third), 1);
        if (c.number == nullptr) {
            EXPECT_TRUE(f.list.LstRx().empty());
            ASSERT_EQ(f.tags.size(), 1u);
            EXPECT_EQ(f.tags[0], kTagConstraints);
            continue;
        }
        ASSERT_EQ(f.list.LstRx().size(), 1u);
        const std::string& e = f.list.LstRx()[0].text;
        EXPECT_EQ(e.substr(0, 5), c.number);
        EXPECT_EQ(e[28], c.tag);
        EXPECT_EQ(e.substr(45, 2), c.battery);
    }
}

TEST(PassageListDecode, ConstraintLogLine) {
    Fixture f;
    f.tickMs = 123'456;  // 12345.6 hundredths -> 12346
    f.list.DecodeHitRecord(Hit(0x80, 0x00), 7);
    ASSERT_EQ(f.tags.size(), 1u);
    EXPECT_EQ(f.logTexts[0], "00000- Cent 00012346 -SqDato 00000007");
}

TEST(PassageListEntry, LayoutAfterFirstAndLaterReceptions) {
    Fixture f;
    f.HitAt(123'450, 1);
    ASSERT_EQ(f.list.LstRx().size(), 1u);
    EXPECT_EQ(f.list.LstRx()[0].text, "00001=     12345-0000000000-2-          12345-0-0000012345");
    EXPECT_EQ(f.list.LstRx()[0].counter, 100000);
    f.HitAt(123'460, 1);
    EXPECT_EQ(f.list.LstRx()[0].text, "00001=     12346-0000000000-2-000000000024691-0-0000012345");
    EXPECT_EQ(f.list.LstRx()[0].counter, 200000);
    EXPECT_EQ(f.list.LstRx()[0].text.size(), kPassageEntryLength);
}

TEST(PassageListTransit, AccumulationAndPublication) {
    // Each step: the time of a burst of receptions and what it must produce.
    struct Step {
        int64_t ms;
        int times;
        std::vector<std::string> tags;  // hit tags of this step
        int published;                  // texts delivered by this step
        int32_t counter;                // entry's Counter afterwards
    };
    struct Case {
        const char* legend;
        std::vector<Step> steps;
    };
    const std::string M = std::string(kTagFirstHeard), C = std::string(kTagCountedHit), V = std::string(kTagValidHit),
                      N = std::string(kTagNewLap);
    const std::vector<Case> cases = {
        {"three receptions at once make a valid transit, nothing published yet",
         {{1'000'000, 3, {M, C, V}, 0, 300000}}},
        {"heard again 0.6 s later: the transit is published and a new one begins",
         {{1'000'000, 3, {M, C, V}, 0, 300000}, {1'000'600, 1, {N}, 1, 100001}}},
        {"heard again 0.4 s later: the reception joins the transit",
         {{1'000'000, 3, {M, C, V}, 0, 300000}, {1'000'400, 1, {V}, 0, 400000}}},
        {"a silence of exactly TimeNewRx does not end the transit",
         {{1'000'000, 1, {M}, 0, 100000}, {1'000'500, 1, {C}, 0, 200000}}},
        {"a transit with RxCount equal to MinRepeatToGo is never published; laps still advance",
         {{1'000'000, 2, {M, C}, 0, 200000}, {1'002'000, 3, {N, C, V}, 0, 300001}, {1'004'000, 1, {N}, 1, 100002}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Fixture f;
        size_t delivered = 0;
        for (const Step& s : c.steps) {
            f.tags.clear();
            f.HitAt(s.ms, 1, s.times);
            EXPECT_EQ(f.HitTags(), s.tags);
            EXPECT_EQ(f.delivered.size() - delivered, static_cast<size_t>(s.published));
            delivered = f.delivered.size();
            EXPECT_EQ(f.list.LstRx()[0].counter, s.counter);
            EXPECT_EQ(f.list.LstRx()[0].text[16], '-');
        }
        EXPECT_TRUE(f.errors.empty());
    }
}

TEST(PassageListTransit, PublishedText) {
    Fixture f;
    f.HitAt(123'450, 1, 3);
    f.HitAt(130'000, 1);
    ASSERT_EQ(f.delivered.size(), 1u);
    EXPECT_EQ(f.delivered[0], "00001-0-00-000-02:03.45-00000012345-0-0003");
    EXPECT_EQ(f.delivered[0].size(), kTransitTextLength);
    // Second transit: the lap time runs from the first transit's time.
    f.HitAt(130'010, 1, 2);  // 13001 hundredths twice more
    f.HitAt(140'000, 1);
    ASSERT_EQ(f.delivered.size(), 2u);
    // Mean of 13000, 13001, 13001 = 13000.67 -> 13001; lap 13001 - 12345 = 6.56 s.
    EXPECT_EQ(f.delivered[1], "00001-0-01-001-00:06.56-00000013001-0-0003");
}

TEST(PassageListTransit, BatteryFieldOfPublishedText) {
    struct Case {
        const char* legend;
        bool batLow;
        int second;
        const char* battery;
    };
    const std::vector<Case> cases = {
        {"flag used and set", true, 0xA0, "-1"},
        {"flag used and clear", true, 0x80, "-0"},
        {"flag not used: always -0", false, 0xA0, "-0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Fixture f(c.batLow);
        f.tickMs = 100'000;
        f.list.ProcessHitRecords(Hit(c.second, 1) + Hit(c.second, 1) + Hit(c.second, 1));
        f.tickMs = 200'000;
        f.list.ProcessHitRecords(Hit(c.second, 1));
        ASSERT_EQ(f.delivered.size(), 1u);
        EXPECT_EQ(f.delivered[0].substr(5, 2), c.battery);
    }
}

TEST(PassageListTransit, LongTransitShowsDuration999) {
    Fixture f;
    // Receptions every half second (not more than TimeNewRx apart) for 12.34 s.
    for (int64_t ms = 1'000'000; ms <= 1'012'000; ms += 500) f.HitAt(ms, 1);
    f.HitAt(1'012'340, 1);
    f.HitAt(1'020'000, 1);
    ASSERT_EQ(f.delivered.size(), 1u);
    EXPECT_EQ(f.delivered[0].substr(11, 3), "999");
}

TEST(PassageListTransit, LapNumberWrapsAtHundred) {
    Fixture f;
    int64_t ms = 1'000'000;
    for (int transit = 0; transit < 102; ++transit, ms += 1000) f.HitAt(ms, 1, 3);
    ASSERT_EQ(f.delivered.size(), 101u);
    EXPECT_EQ(f.delivered[0].substr(8, 2), "00");
    EXPECT_EQ(f.delivered[99].substr(8, 2), "99");
    EXPECT_EQ(f.delivered[100].substr(8, 2), "00");  // the 101st transit
}

TEST(PassageListTransit, ReceptionCountStopsAt9999) {
    Fixture f;
    f.HitAt(1'000'000, 1, 10'005);
    const PassageEntry& e = f.list.LstRx()[0];
    EXPECT_EQ(RxCountOf(e.counter), kMaxRxCount);
    // The sum holds 9999 receptions of 100000 hundredths.
    EXPECT_EQ(e.text.substr(30, 15), "000000999900000");
    EXPECT_TRUE(f.errors.empty());
}

TEST(PassageListTransit, OneBeepPerTransitWhenEnabled) {
    struct Case {
        const char* legend;
        bool beepDll;
        int beeps;
    };
    for (const Case& c :
         std::vector<Case>{{"beep on: one at the validating reception", true, 2}, {"beep off: none", false, 0}}) {
        SCOPED_TRACE(c.legend);
        Fixture f(true, c.beepDll);
        f.HitAt(1'000'000, 1, 6);  // valid at the 3rd, no more beeps after
        f.HitAt(1'002'000, 1, 3);  // the next transit beeps again
        EXPECT_EQ(f.beeps, c.beeps);
    }
}

TEST(PassageListTransit, UnreadableEntryIsReportedAndTheReceptionDropped) {
    Fixture f;
    f.list.ControllaECumula("00001", "2", "abc", "-0", 1);  // a time that is not a number
    const std::string before = f.list.LstRx().at(0).text;
    f.list.ControllaECumula("00001", "2", "100", "-0", 2);
    ASSERT_EQ(f.errors.size(), 1u);
    EXPECT_EQ(f.errors[0], "Error proc. 'ControllaECumula' in Lapix.dll: '       abc' is not a valid integer value");
    EXPECT_EQ(f.list.LstRx().at(0).text, before);
    // The check meets the same entry and reports under its own name.
    f.HitAt(1'000'000, 2);
    f.list.AnalizzaLstRxPerInvio();
    ASSERT_EQ(f.errors.size(), 2u);
    EXPECT_EQ(f.errors[1].rfind("Error proc. 'AnalizzaLstRxPerInvio' in Lapix.dll: ", 0), 0u);
}

TEST(PassageListCheck, PeriodicCheckPublishesSilentTransitsOnce) {
    Fixture f;
    f.list.AnalizzaLstRxPerInvio();  // before any record the list counts as busy
    f.HitAt(1'000'000, 1, 3);
    f.HitAt(1'000'000, 2, 2);  // not valid: never published
    f.tickMs = 1'000'400;
    f.list.AnalizzaLstRxPerInvio();
    EXPECT_TRUE(f.delivered.empty());
    f.tickMs = 1'000'600;
    f.list.AnalizzaLstRxPerInvio();
    ASSERT_EQ(f.delivered.size(), 1u);
    EXPECT_EQ(f.delivered[0].substr(0, 5), "00001");
    EXPECT_EQ(f.list.LstRx()[0].text[16], '*');
    // The next reception begins a new transit without publishing the old one again.
    f.HitAt(1'001'000, 1);
    EXPECT_EQ(f.delivered.size(), 1u);
    EXPECT_EQ(f.list.LstRx()[0].text[16], '-');
    EXPECT_EQ(f.list.LstRx()[0].counter, 100001);
}

TEST(PassageListFormat, LapTime) {
    struct Case {
        const char* legend;
        int64_t previous, current;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"first transit: its own time", 0, 12345, "02:03.45"}, {"one minute", 100, 6100, "01:00.00"},
        {"whole hours are not shown", 0, 366000, "01:00.00"},  {"no time at all", 500, 500, "00:00.00"},
        {"just under an hour", 0, 359999, "59:59.99"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(FormatLapTime(c.previous, c.current), c.text);
    }
}

TEST(PassageListFormat, CounterArithmeticAndRounding) {
    struct Case {
        const char* legend;
        int32_t counter;
        int32_t rx, lap;
    };
    const std::vector<Case> cases = {
        {"first reception", 100000, 1, 0},
        {"three receptions in the fifth lap", 300005, 3, 5},
        {"lap 10000 reads back as 0", 110000, 1, 0},
        {"largest counter", 999910000, 9999, 0},
        {"9999 receptions in lap 9999", 999909999, 9999, 9999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(RxCountOf(c.counter), c.rx);
        EXPECT_EQ(LapCountOf(c.counter), c.lap);
    }
    struct Div {
        const char* legend;
        int64_t a, b, q;
    };
    for (const Div& d : std::vector<Div>{{"half rounds to even (down)", 25, 10, 2},
                                         {"half rounds to even (up)", 15, 10, 2},
                                         {"above half", 26, 10, 3},
                                         {"below half", 24, 10, 2},
                                         {"exact", 39, 3, 13}}) {
        SCOPED_TRACE(d.legend);
        EXPECT_EQ(RoundDivHalfEven(d.a, d.b), d.q);
    }
}

}  // namespace
}  // namespace sincrovia
