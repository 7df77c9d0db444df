// The test window's made-up data: the program's random sequence, the history panel, random
// hits through transit validation, template texts, the simulated passage record, the firmware
// texts and the first line of the list.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LinkTestSupport.h"
#include "decoder_link/LinkTestBench.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "decoder_link/TestData.h"

namespace sincrovia {
namespace {

using testing::CallbackTexts;
using testing::LinkEnvironment;
using testing::RecordCallback;

// Changes one key line of the default "Lapix.ini" written by a first link.
void DefaultIniWith(const std::string& folder, const std::string& key, const std::string& value) {
    { TTest first(nullptr, "X", nullptr, false, "", nullptr); }
    std::ifstream in(folder + "Lapix.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    const size_t at = text.find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos);
    text.replace(at + 1, text.find('\r', at + 1) - at - 1, key + "=" + value);
    std::ofstream(folder + "Lapix.ini", std::ios::binary | std::ios::trunc) << text;
}

TEST(ProgramRandom, SequenceFromAFreshStart) {
    struct Case {
        const char* legend;
        int range;
        std::vector<int> values;
    };
    const std::vector<Case> cases = {
        {"the random hits' range", kRandomHitRange, {0, 0, 3, 0, 1, 2}},
        {"range 1 always gives 0", 1, {0, 0, 0}},
        {"a wide range", 1000, {0, 31, 861}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        SetProgramRandSeed(0);
        std::vector<int> values;
        for (size_t i = 0; i < c.values.size(); ++i) values.push_back(ProgramRandom(c.range));
        EXPECT_EQ(values, c.values);
    }
    SetProgramRandSeed(0);
    ProgramRandom(4);
    EXPECT_EQ(ProgramRandSeed(), 1u);
    ProgramRandom(4);
    EXPECT_EQ(ProgramRandSeed(), 134775814u);
}

TEST(HistoryPanel, KeepsTheLastFiveNumbers) {
    std::string panel;
    const std::vector<std::string> expected = {" (1)",
                                               " (1) (1)",
                                               " (1) (1) (4)",
                                               " (1) (1) (4) (1)",
                                               " (1) (1) (4) (1) (2)",
                                               " (1) (4) (1) (2) (3)",
                                               " (4) (1) (2) (3) (4)"};
    const int numbers[] = {1, 1, 4, 1, 2, 3, 4};
    for (size_t i = 0; i < expected.size(); ++i) {
        panel = AppendHistory(panel, numbers[i]);
        EXPECT_EQ(panel, expected[i]) << "after number " << i + 1;
    }
}

TEST(TemplateTransit, TextLayout) {
    const TDateTime when = EncodeDate(2026, 12, 8) + EncodeTime(10, 15, 30, 250);
    EXPECT_EQ(TemplateTransitText(1, 0, 0, when), "00001-0-00-000-00000005-00000000000-0-0106-08.12.2026-10:15:30.250");
    EXPECT_EQ(TemplateTransitText(5, 123456, 3, when),
              "00005-0-00-000-00000005-00000123456-3-0106-08.12.2026-10:15:30.250");
}

struct GeneratorLink {
    LinkEnvironment env;
    int64_t tickMs = 5'000'000;
    std::unique_ptr<TTest> link;
    std::unique_ptr<TLinkTestBench> bench;
    explicit GeneratorLink(const char* key = nullptr, const char* value = nullptr) {
        if (key != nullptr) DefaultIniWith(env.Folder(), key, value);
        link = std::make_unique<TTest>(nullptr, "COM7", RecordCallback, false, "", nullptr);
        link->SetTickSource([this] { return tickMs; });
        bench = std::make_unique<TLinkTestBench>(*link);
        SetProgramRandSeed(0);
    }
};

TEST(RandomHits, SecondClickPublishesTheFirstTransit) {
    GeneratorLink g;
    TTest& link = *g.link;
    TLinkTestBench& bench = *g.bench;
    bench.ActBotGeneraDatiCasualiExecute(false);  // number 1
    EXPECT_TRUE(CallbackTexts().empty());
    EXPECT_EQ(bench.GeneratedCount(), 1);
    EXPECT_EQ(link.StatusPanel(0), "Generati: 1 Inviati: 0");
    EXPECT_EQ(link.StatusPanel(1), " (1)");
    g.tickMs += 1000;
    bench.ActBotGeneraDatiCasualiExecute(false);  // number 1 again, a second later
    ASSERT_EQ(CallbackTexts().size(), 1u);
    // Transit time 500000 hundredths: 83 min 20 s, shown modulo one hour.
    EXPECT_EQ(CallbackTexts()[0], "00001-0-00-000-23:20.00-00000500000-0-0003");
    EXPECT_EQ(bench.GeneratedCount(), 2);
    EXPECT_EQ(link.StatusPanel(1), " (1) (1)");
}

TEST(RandomHits, SameNumberWithinTimeNewRxMakesOneTransit) {
    GeneratorLink g;
    TTest& link = *g.link;
    TLinkTestBench& bench = *g.bench;
    bench.GenerateRandomHits(false);  // 1
    g.tickMs += 200;
    bench.GenerateRandomHits(false);  // 1 again, same transit
    ASSERT_EQ(link.Passages().LstRx().size(), 1u);
    EXPECT_EQ(RxCountOf(link.Passages().LstRx()[0].counter), 6);
    g.tickMs += 1000;
    bench.GenerateRandomHits(false);  // 4: a new transponder
    g.tickMs += 1000;
    bench.GenerateRandomHits(false);  // 1: publishes six receptions
    ASSERT_EQ(CallbackTexts().size(), 1u);
    EXPECT_EQ(CallbackTexts()[0].substr(38), "0006");
    EXPECT_EQ(CallbackTexts()[0].substr(11, 3), "020");  // first to latest: 0.2 s
}

TEST(RandomHits, BatteryFieldOfTheBatLowButton) {
    struct Case {
        const char* legend;
        const char* batLowKey;
        bool buttonVisible;
        const char* prefix;
    };
    const std::vector<Case> cases = {
        {"flag used: same numbers, battery -1", "True", true, "00001-1-"},
        {"flag not used: bit 5 extends the number", "False", false, "08193-0-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        GeneratorLink g("GstFlagBatLow", c.batLowKey);
        EXPECT_EQ(g.bench->BatLowButtonVisible(), c.buttonVisible);
        g.bench->ActBotGeneraDatiCasualiExecute(true);
        g.tickMs += 1000;
        g.bench->ActBotGeneraDatiCasualiExecute(true);
        ASSERT_EQ(CallbackTexts().size(), 1u);
        EXPECT_EQ(CallbackTexts()[0].substr(0, 8), c.prefix);
    }
}

TEST(TemplateTransit, SpeedTrapButtonsRunThroughTransponderAndReader) {
    GeneratorLink g("SpeedTrap", "True");
    for (int i = 0; i < 21; ++i) {
        g.bench->ActBotGeneraDatiCasualiExecute(i % 2 == 0);
        g.tickMs += 10;
    }
    const auto& texts = CallbackTexts();
    ASSERT_EQ(texts.size(), 21u);
    EXPECT_EQ(texts[0].substr(0, 43), "00001-0-00-000-00000005-00000000000-0-0106-");
    EXPECT_EQ(texts[4].substr(0, 5), "00002");
    EXPECT_EQ(texts[4].substr(36, 1), "0");
    EXPECT_EQ(texts[4].substr(24, 11), "00000000040");
    EXPECT_EQ(texts[19].substr(0, 5), "00005");
    EXPECT_EQ(texts[19].substr(36, 1), "3");
    EXPECT_EQ(texts[20].substr(0, 5), "00001");  // after transponder 5 comes 1 again
    EXPECT_EQ(g.bench->GeneratedCount(), 0);
}

TEST(TestWindowButtons, TextsHandedToTheCallback) {
    struct Case {
        const char* legend;
        void (*press)(TLinkTestBench&);
        std::vector<ByteString> texts;
    };
    const std::vector<Case> cases = {
        {"simulated passage record",
         [](TLinkTestBench& l) { l.BotSimulaRicezionePassaggioTrDaCOMKivoClick(); },
         {"0036331-16-05-25-17-52-48-214-0198-000-00000001-001"}},
        {"firmware text", [](TLinkTestBench& l) { l.SpeedButton1MouseDown(false); }, {"teKAN - teVO Ver: 6.33.1"}},
        {"firmware text with Shift",
         [](TLinkTestBench& l) { l.SpeedButton1MouseDown(true); },
         {"teKAN - teVO Ver: 6.33"}},
        {"first line of the list",
         [](TLinkTestBench& l) { l.ActInviaStringaExecute(); },
         {"0000002-17-08-13-17-45-00-214-0108-000-00000001-001"}},
        {"first line whatever was appended",
         [](TLinkTestBench& l) {
             auto lines = l.MemoStrDaInviare();
             lines.push_back("later");
             l.SetMemoStrDaInviare(lines);
             l.ActInviaStringaExecute();
         },
         {"0000002-17-08-13-17-45-00-214-0108-000-00000001-001"}},
        {"empty list sends an empty text",
         [](TLinkTestBench& l) {
             l.SetMemoStrDaInviare({});
             l.ActInviaStringaExecute();
         },
         {""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        GeneratorLink g;
        c.press(*g.bench);
        EXPECT_EQ(CallbackTexts(), c.texts);
        EXPECT_EQ(g.bench->SentCount(), 0);  // no window: nothing listed or counted
    }
}

}  // namespace
}  // namespace sincrovia
