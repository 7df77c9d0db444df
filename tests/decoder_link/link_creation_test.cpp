// The decoder link without a decoder: creation with good and broken configuration files, the
// memo lines of serial errors and program errors, the receive-queue watch, shapes, the view.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "LinkTestSupport.h"
#include "decoder_link/LinkTestBench.h"
#include "decoder_link/SFormCOM_TestConnessione.h"

namespace sincrovia {
namespace {

using testing::CallbackTexts;
using testing::IsTimedMemoLine;
using testing::LinkEnvironment;
using testing::MemoRecorder;
using testing::RecordCallback;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Writes the default "Lapix.ini" (through a first link) and changes one key line in it.
void DefaultIniWith(const std::string& folder, const std::string& key, const std::string& value) {
    { TTest first(nullptr, "X", nullptr, false, "", nullptr); }
    std::string text = ReadFile(folder + "Lapix.ini");
    const size_t at = text.find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    const size_t end = text.find('\r', at + 1);
    text.replace(at + 1, end - at - 1, key + "=" + value);
    WriteFile(folder + "Lapix.ini", text);
}

struct ShapeRecorder : TLinkShape {
    int red = -1, green = -1, blue = -1;
    void SetBrushColor(int r, int g, int b) override { red = r, green = g, blue = b; }
};

struct GaugeRecorder : TQueueGauge {
    std::vector<int> positions;
    void SetPosition(int p) override { positions.push_back(p); }
};

TEST(LinkCreation, MissingConfigurationFileIsWrittenWithoutMessage) {
    LinkEnvironment env;
    MemoRecorder memo;
    TTest link(nullptr, "COM3", RecordCallback, false, "", &memo);
    EXPECT_TRUE(env.desktop.Boxes().empty());
    EXPECT_NE(ReadFile(env.Folder() + "Lapix.ini").find("[ConfigPar]"), std::string::npos);
    EXPECT_EQ(link.Caption(), "COM3 - Test DLL Kivo");
    EXPECT_EQ(link.PortName(), "COM3");
    EXPECT_FALSE(link.HasBeepThread());
    EXPECT_FALSE(link.CheckTimerEnabled());  // the periodic check is built, not started
    EXPECT_FALSE(link.LogEnabled());
}

TEST(LinkCreation, BrokenConfigurationIsReportedAndTheLinkStillWorks) {
    struct Case {
        const char* legend;
        const char* content;
        std::vector<std::string> boxTexts;
    };
    const std::vector<Case> cases = {
        {"a number that is not one",
         "[ConfigPar]\r\nMinRepeatToGo=abc\r\n",
         {"Error use COM Manager Lapix Kivo: 'abc' is not a valid integer value"}},
        {"a key missing where the reading must stop",
         "[ConfigPar]\r\nMinRepeatToGo=2\r\n",
         {"Errore nella ricerca della chiave 'TimeNewRx' della sezione 'ConfigPar' all'interno del "
          "file INI (Percorso completo: ",
          "Error use COM Manager Lapix Kivo: Operation aborted"}},
        {"no section at all",
         "garbage\r\n",
         {"Errore nella ricerca della chiave 'MinRepeatToGo'", "Error use COM Manager Lapix Kivo: Operation aborted"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        LinkEnvironment env;
        WriteFile(env.Folder() + "Lapix.ini", c.content);
        MemoRecorder memo;
        TTest link(nullptr, "COM5", RecordCallback, false, "", &memo);
        const auto boxes = env.desktop.Boxes();
        ASSERT_EQ(boxes.size(), c.boxTexts.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].text.rfind(c.boxTexts[i], 0), 0u) << boxes[i].text;
            EXPECT_EQ(boxes[i].icon, MsgIcon::Error);
        }
        EXPECT_EQ(boxes.back().caption, "COM Manager Lapix Kivo");
        // The link keeps what its caller gave it.
        EXPECT_EQ(link.PortName(), "COM5");
        EXPECT_EQ(link.Caption(), "COM5 - Test DLL Kivo");
        link.DeliverText("to the window", false);
        link.DeliverText("to the memo", true);
        ASSERT_EQ(CallbackTexts().size(), 1u);
        EXPECT_EQ(CallbackTexts()[0], "to the window");
        EXPECT_EQ(memo.Lines().back(), "to the memo");
    }
}

TEST(LinkCreation, SettingsFromTheFile) {
    struct Case {
        const char* legend;
        const char* key;
        const char* value;
        bool beepThread;
        bool speedTrapLine;
    };
    const std::vector<Case> cases = {
        {"BeepDll on starts the beep thread", "BeepDll", "True", true, false},
        {"SpeedTrap on says so at every opening", "SpeedTrap", "True", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        LinkEnvironment env;
        DefaultIniWith(env.Folder(), c.key, c.value);
        MemoRecorder memo;
        TTest link(nullptr, "COM42", RecordCallback, false, "", &memo);
        EXPECT_TRUE(env.desktop.Boxes().empty());
        EXPECT_EQ(link.HasBeepThread(), c.beepThread);
        link.LinkControl(LinkMode::Open);  // fails: no such port
        const auto lines = memo.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front() == "Config Reader Kivo: Speed Trap ON", c.speedTrapLine);
    }
}

TEST(LinkMessages, SerialErrorLines) {
    struct Case {
        const char* legend;
        uint32_t place, code;
        const char* msg;
        const char* rest;
    };
    const std::vector<Case> cases = {
        {"failure with a system code", 112, 5, "Error reopening Port", "Code 5 at 112 Text: Error reopening Port"},
        {"message without code", 110, 0, "Msg start reactivating Port",
         "Code 0 at 110 Text: Msg start reactivating Port"},
        {"empty message", 0, 0, "", "Code 0 at 0 Text: "},
    };
    LinkEnvironment env;
    MemoRecorder memo;
    TTest link(nullptr, "COM3", RecordCallback, false, "trace.log", &memo);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        link.SerialPortNGProcessError(c.place, c.code, c.msg, 0);
        EXPECT_TRUE(IsTimedMemoLine(memo.Lines().back(), c.rest)) << memo.Lines().back();
        const std::string& logged = link.LogLines().back();
        EXPECT_EQ(logged.rfind("#MsgSeriale;", 0), 0u) << logged;
        EXPECT_EQ(logged.substr(logged.size() - std::string(c.rest).size()), c.rest);
    }
}

TEST(LinkMessages, ProgramErrorsReachEveryLiveLink) {
    LinkEnvironment env;
    const int before = LiveLinkCount();
    EXPECT_EQ(HandleApplicationException("nobody listens"), before > 0);
    MemoRecorder memo1, memo2;
    {
        TTest link1(nullptr, "COM1", RecordCallback, false, "", &memo1);
        TTest link2(nullptr, "COM2", RecordCallback, false, "", &memo2);
        EXPECT_EQ(LiveLinkCount(), before + 2);
        EXPECT_TRUE(HandleApplicationException("Access violation"));
        for (MemoRecorder* memo : {&memo1, &memo2}) {
            ASSERT_FALSE(memo->Lines().empty());
            EXPECT_TRUE(IsTimedMemoLine(memo->Lines().back(),
                                        "Code 0 at 0 Text: General Application Error in Lapix.dll: "
                                        "Access violation"))
                << memo->Lines().back();
        }
        EXPECT_TRUE(env.desktop.Boxes().empty());
    }
    EXPECT_EQ(LiveLinkCount(), before);
    const size_t lines = memo1.lines.size();
    HandleApplicationException("after the links");
    EXPECT_EQ(memo1.lines.size(), lines);
}

TEST(LinkMessages, ReceiveQueueWatch) {
    struct Case {
        const char* legend;
        uint32_t inQueue;
        std::vector<int> gauge;
        bool overflow;
    };
    const std::vector<Case> cases = {
        {"empty queue", 0, {0}, false},
        {"below 50 bytes: shown scaled by 8", 49, {392}, false},
        {"50 bytes and more: the gauge stays", 50, {}, false},
        {"full queue: overflow", 8192, {}, true},
        {"one below full", 8191, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        LinkEnvironment env;
        MemoRecorder memo;
        GaugeRecorder gauge;
        TTest link(nullptr, "COM3", RecordCallback, false, "x.log", &memo, &gauge);
        link.SerialPortNGCommStat(c.inQueue);
        EXPECT_EQ(gauge.positions, c.gauge);
        const auto lines = memo.Lines();
        EXPECT_EQ(!lines.empty() && lines.back() == "Overflow Rx Queue", c.overflow);
        EXPECT_EQ(!link.LogLines().empty() && link.LogLines().back().rfind("#ErrSeriale;", 0) == 0, c.overflow);
    }
}

TEST(LinkCreation, ShapesAreGreyedOnlyWhenAsked) {
    for (bool mark : {true, false}) {
        SCOPED_TRACE(mark ? "marked" : "not marked");
        LinkEnvironment env;
        ShapeRecorder a, b;
        TTest link(nullptr, "COM3", RecordCallback, false, "", nullptr, nullptr, mark, &a, &b);
        EXPECT_EQ(a.red, mark ? 128 : -1);
        EXPECT_EQ(b.blue, mark ? 128 : -1);
    }
}

// A view that records what the link shows.
struct ViewRecorder : TTestView {
    bool shown = false;
    bool visible = true;
    std::vector<ByteString> added;
    std::vector<std::pair<int, std::string>> status;
    void Show() override { shown = true; }
    bool Visible() const override { return visible; }
    void StatusChanged(int panel, const std::string& text) override { status.emplace_back(panel, text); }
    void SentTextAdded(const ByteString& text) override { added.push_back(text); }
};
ViewRecorder* g_lastView = nullptr;
TTestView* MakeView(TTest&) { return g_lastView = new ViewRecorder; }

TEST(LinkView, DeliveredTextsAreListedWhileTheWindowIsVisible) {
    LinkEnvironment env;
    SetTestViewFactory(MakeView);
    {
        TTest hidden(nullptr, "COM1", RecordCallback, false, "", nullptr);
        EXPECT_EQ(hidden.View(), nullptr);  // no window outside test-window mode
    }
    TTest link(nullptr, "COM2", RecordCallback, true, "", nullptr);
    SetTestViewFactory(nullptr);
    ASSERT_NE(link.View(), nullptr);
    ViewRecorder& view = *g_lastView;
    EXPECT_TRUE(view.shown);
    {
        TLinkTestBench bench(link);
        link.DeliverText("first", false);
        link.DeliverText("memo only", true);
        EXPECT_EQ(view.added, std::vector<ByteString>{"first"});
        EXPECT_EQ(bench.SentCount(), 1);
        EXPECT_EQ(link.StatusPanel(0), "Generati: 0 Inviati: 1");
        EXPECT_EQ(bench.MemoStrDaInviare().back(), "first");
        view.visible = false;
        link.DeliverText("second", false);
        EXPECT_EQ(bench.SentCount(), 1);
    }
    // The bench is gone: the link delivers without it.
    view.visible = true;
    link.DeliverText("third", false);
    EXPECT_EQ(view.added, std::vector<ByteString>{"first"});
    EXPECT_EQ(CallbackTexts(), (std::vector<ByteString>{"first", "second", "third"}));
}

}  // namespace
}  // namespace sincrovia
