// Decoding of received records and the parser around the cutter: texts for the window in every
// format, the failure boxes, scan order, logs, reference time and the buffer bound.
#include <gtest/gtest.h>

#include "ReceptionSupport.h"
#include "decoder_link/Reception.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

using testing::DateTimeRecord;
using testing::PassageFields;
using testing::PassageRecord;
using testing::Record;

LinkSettings Config(bool teKan, bool speedTrap, bool absolute, bool trivolo) {
    LinkSettings s;
    s.ProtocolloTeKan = teKan;
    s.SpeedTrap = speedTrap;
    s.TempiAssoluti = absolute;
    s.StrXTrivoloTimer = trivolo;
    return s;
}

TDateTime At(int y, int mo, int d, int h, int mi, int s, int ms) {
    return EncodeDate(y, mo, d) + EncodeTime(h, mi, s, ms);
}

PassageFields With(void (*change)(PassageFields&)) {
    PassageFields f;
    change(f);
    return f;
}

TEST(Reception, PassageTexts) {
    const TDateTime sameDay = At(2017, 8, 13, 17, 45, 0, 0);
    const TDateTime hourStart = At(2017, 8, 13, 17, 0, 0, 0);
    const struct {
        const char* legend;
        LinkSettings settings;
        PassageFields fields;
        TDateTime reference;
        const char* text;
    } cases[] = {
        {"default: lap-timer text of the capture",
         LinkSettings{},
         {},
         0,
         "0000002-17-08-13-17-45-00-214-0108-000-00000001-001"},
        {"standard text: milliseconds from the reference time",
         Config(true, false, true, false),
         {},
         sameDay,
         "00002-0-00-000-00000001-00000000214-1-0108"},
        {"relative times in the lap-timer text: count padded with blanks",
         Config(true, false, false, true),
         {},
         0,
         "0000002-          00000000214-0108-000-00000001-001"},
        {"speed trap: reader and battery from the flags, passage date appended", Config(true, true, true, false),
         With([](PassageFields& f) {
             f.type = 'T';
             f.flags = 0x05;
         }),
         hourStart, "00002-1-00-000-00000001-00002700214-2-0108-13.08.2017-17:45:00.214"},
        {"speed trap with relative times: the date shown is day zero", Config(true, true, false, false),
         With([](PassageFields& f) { f.type = 'T'; }), 0,
         "00002-0-00-000-00000001-00000000214-0-0108-30.12.1899-00:00:00.000"},
        {"binary protocol speed trap: reader byte, short id even with the lap-timer flag",
         Config(false, true, true, true), With([](PassageFields& f) {
             f.reader = 3;
             f.flags = 0x06;
         }),
         hourStart, "00002-0-00-000-00000001-00002700214-3-0108-13.08.2017-17:45:00.214"},
        {"V above 9999 shown as 9999", LinkSettings{}, With([](PassageFields& f) { f.valueV = 12345; }), 0,
         "0000002-17-08-13-17-45-00-214-9999-000-00000001-001"},
        {"milliseconds 1000 pass and are cut by the field width", LinkSettings{},
         With([](PassageFields& f) { f.milliseconds = 1000; }), 0,
         "0000002-17-08-13-17-45-00-100-0108-000-00000001-001"},
        {"eight-digit transponder cut to seven characters", LinkSettings{},
         With([](PassageFields& f) { f.transponder = 12345678; }), 0,
         "1234567-17-08-13-17-45-00-214-0108-000-00000001-001"},
        {"W, N and battery in the standard text", Config(true, false, true, false), With([](PassageFields& f) {
             f.valueW = 7;
             f.number = 4321;
             f.flags = 1;
         }),
         sameDay, "00002-1-00-007-00004321-00000000214-1-0108"},
    };
    RecordingDesktop desktop;
    ScopedDesktop scope(desktop);
    for (const auto& c : cases) {
        EXPECT_EQ(PassageText(PassageRecord(c.fields), c.settings, c.reference), c.text) << c.legend;
    }
    EXPECT_TRUE(desktop.Boxes().empty());
}

TEST(Reception, FailureBoxes) {
    const std::string beyond =
        "I millisecondi ricevuti dal kivo 1001 sono maggiori di 1000. Si \xE8"
        " certi di aver impostato il kivo nella modalit\xE0"
        " assoluta? Per continuare i milliecondi saranno troncati a 999!";
    const struct {
        const char* legend;
        LinkSettings settings;
        PassageFields fields;
        const char* text;
        const char* caption;
        std::string boxPrefix;
    } cases[] = {
        {"milliseconds 1001: box, then 999", LinkSettings{}, With([](PassageFields& f) { f.milliseconds = 1001; }),
         "0000002-17-08-13-17-45-00-999-0108-000-00000001-001", "Errore DLL: Calcolo millisecondi assoluti", beyond},
        {"milliseconds 1000 when a date-time is built: box, empty time", Config(true, false, true, false),
         With([](PassageFields& f) { f.milliseconds = 1000; }), "00002-0-00-000-00000001-           -1-0108",
         "Errore DLL Kivo: Calcolo millisecondi assoluti", "Errore nel calcolo dei millisecondi assoluti: "},
        {"month 0: box, empty time", Config(true, false, true, false), With([](PassageFields& f) { f.month = 0; }),
         "00002-0-00-000-00000001-           -1-0108", "Errore DLL Kivo: Calcolo millisecondi assoluti",
         "Errore nel calcolo dei millisecondi assoluti: "},
    };
    for (const auto& c : cases) {
        RecordingDesktop desktop;
        ScopedDesktop scope(desktop);
        EXPECT_EQ(PassageText(PassageRecord(c.fields), c.settings, 0), c.text) << c.legend;
        const auto boxes = desktop.Boxes();
        ASSERT_EQ(boxes.size(), 1u) << c.legend;
        EXPECT_EQ(boxes[0].caption, c.caption) << c.legend;
        EXPECT_EQ(boxes[0].icon, MsgIcon::Error) << c.legend;
        EXPECT_EQ(boxes[0].text.substr(0, c.boxPrefix.size()), c.boxPrefix) << c.legend;
        EXPECT_GT(boxes[0].text.size(), std::string(c.boxPrefix).size() - 1) << c.legend;
    }
}

// Feeds clusters to a parser and collects what it delivers.
struct Harness {
    explicit Harness(LinkSettings s = {}, bool logged = true) : settings(s), logged_(logged) {}
    LinkSettings settings;
    bool logged_;
    std::vector<std::string> delivered;
    std::vector<std::string> tags;
    RecordParser parser{
        settings, [this](const ByteString& t) { delivered.push_back(t); },
        logged_ ? RecordParser::LogFn([this](std::string_view tag, const std::string&) { tags.emplace_back(tag); })
                : RecordParser::LogFn()};
    void Feed(const std::string& cluster) { parser.ReceiveCluster(cluster, true); }
};

TEST(Reception, CuttingAndDelivery) {
    const std::string p1 = PassageRecord({}), p2 = PassageRecord(With([](PassageFields&f) { f.transponder = 7; }));
    const std::string t1 = "0000002-17-08-13-17-45-00-214-0108-000-00000001-001";
    const std::string t2 = "0000007-17-08-13-17-45-00-214-0108-000-00000001-001";
    std::string firmware = Record('\x81', 45, "\x01teKAN - teVO Ver: 6.33.1 build 7 and more");
    std::string longFirmware = Record('\x81', 47, "\x01teKAN - teVO Ver: 6.40 build 9 and even more");
    const struct {
        const char* legend;
        std::vector<std::string> clusters;
        std::vector<std::string> texts;
        std::string left;
        bool teKan = true;
    } cases[] = {
        {"passage split over two clusters, delivered once", {p1.substr(0, 20), p1.substr(20)}, {t1}, ""},
        {"two passages in buffer order", {p1 + p2}, {t1, t2}, ""},
        {"marker without CR LF skipped, later record found",
         {std::string("\0P", 2) + "junk" + p2},
         {t2},
         std::string("\0P", 2) + "junk"},
        {"garbage between records stays", {"ab" + p1 + "cd" + p2 + "ef"}, {t1, t2}, "abcdef"},
        {"45-byte firmware: 35 text bytes", {firmware}, {firmware.substr(3, 35)}, ""},
        {"47-byte firmware taken by the long scan: 37 text bytes", {longFirmware}, {longFirmware.substr(3, 37)}, ""},
        {"passages first, whatever their place", {firmware + p1}, {t1, firmware.substr(3, 35)}, ""},
        {"status, result and short status records only removed",
         {Record('Q', 27) + Record('\x87', 10) + Record('S', 13) + Record('S', 10) + "z"},
         {},
         "z"},
        {"binary protocol markers are not letter ones",
         {Record('Q', 27) + Record('\x15', 27)},
         {},
         Record('Q', 27),
         false},
    };
    for (const auto& c : cases) {
        Harness h;
        h.settings.ProtocolloTeKan = c.teKan;
        for (const auto& cluster : c.clusters) h.Feed(cluster);
        EXPECT_EQ(h.delivered, c.texts) << c.legend;
        EXPECT_EQ(h.parser.RxBuffer(), c.left) << c.legend;
    }
}

TEST(Reception, DateTimeRecordSetsTheReferenceTime) {
    const struct {
        const char* legend;
        std::string record;
        TDateTime expected;
        size_t boxes;
    } cases[] = {
        {"valid record; only the low 16 bits of the milliseconds count",
         DateTimeRecord(26, 12, 8, 4, 5, 6, 0x00010000 + 250), At(2026, 12, 8, 4, 5, 6, 250), 0},
        {"milliseconds 1000: box, reference 0", DateTimeRecord(26, 12, 8, 4, 5, 6, 1000), 0, 1},
        {"month 0: box, reference 0", DateTimeRecord(26, 0, 8, 4, 5, 6, 0), 0, 1},
    };
    for (const auto& c : cases) {
        RecordingDesktop desktop;
        ScopedDesktop scope(desktop);
        Harness h;
        h.parser.SetReferenceTime(1234.5);
        h.Feed(c.record);
        EXPECT_DOUBLE_EQ(h.parser.ReferenceTime(), c.expected) << c.legend;
        EXPECT_TRUE(h.delivered.empty()) << c.legend;
        ASSERT_EQ(desktop.Boxes().size(), c.boxes) << c.legend;
        if (c.boxes) {
            EXPECT_EQ(desktop.Boxes()[0].caption, "Errore DLL: trasformazione ora e data reader kivo");
        }
    }
}

TEST(Reception, LogTagsFollowEachRemoval) {
    Harness h;
    h.Feed(PassageRecord({}) + Record('\x81', 45) + Record('Q', 27) + Record('\x87', 10) +
           DateTimeRecord(26, 1, 1, 0, 0, 0, 0) + Record('S', 13) + Record('S', 10));
    const std::vector<std::string> expected = {
        "BufferRx",   "__START___", "In__BufRx_", "BufRxDelID", "BufRxDelFrmwVers", "BufRxDelSt", "BufRxDelRs",
        "RxDataKivo", "TempoRifr=", "BufRxDelRs", "BufRxDelRs", "RxDataKivo",       "BufRxDelRs"};
    EXPECT_EQ(h.tags, expected);
    EXPECT_EQ(DumpBytes(std::string("\x00\x50\x09\xFF", 4)), "-000-080-009-255");
}

TEST(Reception, SpeedTrapWithLetterProtocolSwitchesTheLapTimerTextOff) {
    Harness h(Config(true, true, true, true));
    h.Feed(PassageRecord(With([](PassageFields& f) { f.type = 'P'; })));
    EXPECT_FALSE(h.settings.StrXTrivoloTimer);
    EXPECT_TRUE(h.delivered.empty()) << "'P' is not the speed-trap marker";
}

TEST(Reception, UndecodedClustersAreOnlyKept) {
    Harness h;
    h.parser.ReceiveCluster(PassageRecord({}), false);
    EXPECT_TRUE(h.delivered.empty());
    EXPECT_EQ(h.parser.RxBuffer().size(), 32u);
}

TEST(Reception, BufferBound) {
    const struct {
        const char* legend;
        size_t before, append, after;
        bool logged;
    } cases[] = {
        {"up to the high mark nothing is dropped", 65536 - 96, 96, 65536, false},
        {"one byte beyond drops down to the low mark", 65536 - 95, 96, 32768, true},
        {"a cluster larger than the low mark keeps its newest bytes", 100, 70000, 32768, true},
    };
    for (const auto& c : cases) {
        Harness h;
        h.parser.AppendToRxBuffer(std::string(c.before, 'g'));
        h.tags.clear();
        std::string cluster(c.append, 'n');
        cluster.back() = 'z';
        h.parser.AppendToRxBuffer(cluster);
        EXPECT_EQ(h.parser.RxBuffer().size(), c.after) << c.legend;
        EXPECT_EQ(h.parser.RxBuffer().back(), 'z') << c.legend;
        EXPECT_EQ(!h.tags.empty() && h.tags[0] == "BufRxTrunc", c.logged) << c.legend;
    }
}

TEST(Reception, NoisyLineStaysBoundedAndLosesNoRecord) {
    Harness h({}, false);
    const std::string garbage(96, '\x55');
    for (int i = 0; i < 2000; ++i) {
        h.Feed(garbage);
        ASSERT_LE(h.parser.RxBuffer().size(), kRxBufferHighMark);
    }
    const std::string record = PassageRecord({});
    h.Feed(garbage.substr(0, 80) + record.substr(0, 16));
    h.Feed(record.substr(16) + garbage.substr(0, 50));
    EXPECT_EQ(h.delivered, std::vector<std::string>{"0000002-17-08-13-17-45-00-214-0108-000-00000001-001"});
}

TEST(Reception, ClusterArrivingDuringDeliveryWaitsForTheParse) {
    LinkSettings settings;
    std::vector<std::string> delivered;
    RecordParser* self = nullptr;
    const std::string second = PassageRecord(With([](PassageFields& f) { f.transponder = 9; }));
    RecordParser parser(settings, [&](const ByteString& t) {
        delivered.push_back(t.substr(0, 7));
        if (delivered.size() == 1) self->ReceiveCluster("x" + second, true);  // as from a message box
    });
    self = &parser;
    parser.ReceiveCluster(PassageRecord({}) + "y", true);
    EXPECT_EQ(delivered, (std::vector<std::string>{"0000002", "0000009"}));
    EXPECT_EQ(parser.RxBuffer(), "yx");
}

}  // namespace
}  // namespace sincrovia
