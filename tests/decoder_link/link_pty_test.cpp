// The decoder link against simulated decoders on pseudo-terminals: opening and closing with
// their status texts, commands answered, the decoder clock read and set, a silent decoder,
// a line hung up mid-session, and a port that does not exist.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "LinkTestSupport.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "tools/simulator/Simulator.h"
#include "util/DateTime.h"

namespace sincrovia {
namespace {

using namespace std::chrono_literals;
using testing::CallbackTexts;
using testing::IsTimedMemoLine;
using testing::LinkEnvironment;
using testing::MemoRecorder;
using testing::RecordCallback;
using testing::ServeFor;
using testing::ServeUntil;

// Generous bounds for a loaded machine: replies come within a few tens of milliseconds.
constexpr auto kReplyTimeout = 5000ms;

// One simulated decoder and a link on it.
struct PtyLink {
    LinkEnvironment env;
    sim::Simulator simulator;
    MemoRecorder memo;
    std::unique_ptr<TTest> link;

    explicit PtyLink(sim::DecoderConfig config, bool showWindow = false) {
        config.name = "SIMLINK";
        config.jitterMs = 0;
        std::string error;
        if (!simulator.AddDecoder(config, error) || !simulator.Start(error))
            throw std::runtime_error("simulator: " + error);
        link = std::make_unique<TTest>(nullptr, simulator.PortName(0), RecordCallback, showWindow, "", &memo);
    }
    ~PtyLink() {
        if (link) link->LinkControl(LinkMode::Close);
        link.reset();
        simulator.Stop();
    }
    bool WaitForText() {
        return ServeUntil([] { return !CallbackTexts().empty(); }, kReplyTimeout);
    }
};

// The decoder time of a default passage text ("0000001-yy-mm-dd-hh-nn-ss-zzz-...").
TDateTime PassageTime(const std::string& text) {
    auto field = [&](size_t at, size_t n) { return std::stoi(text.substr(at, n)); };
    return EncodeDate(2000 + field(8, 2), field(11, 2), field(14, 2)) +
           EncodeTime(field(17, 2), field(20, 2), field(23, 2), field(26, 3));
}

double SecondsBetween(TDateTime a, TDateTime b) { return (a - b) * 86400.0; }

TEST(LinkPty, OpenShowsStatusAndCloseIsRepeatable) {
    PtyLink t(sim::DecoderConfig{});
    TTest& link = *t.link;
    EXPECT_FALSE(link.LinkControl(LinkMode::IsOpen));
    ASSERT_TRUE(link.LinkControl(LinkMode::Open));
    EXPECT_TRUE(link.LinkControl(LinkMode::IsOpen));
    EXPECT_TRUE(link.Connected());
    EXPECT_TRUE(link.RealTimeMode());
    EXPECT_EQ(link.StatusPanel(0), "Hardware connected OK");
    EXPECT_EQ(link.StatusPanel(1), "Mode: Real Time");
    EXPECT_EQ(link.StatusPanel(2), "Ver");
    EXPECT_EQ(t.env.desktop.BeepCount(), 1);
    EXPECT_EQ(link.Caption(), "SIMLINK - Test DLL Kivo");

    EXPECT_FALSE(link.LinkControl(LinkMode::Close));
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.RealTimeMode());
    EXPECT_EQ(link.StatusPanel(0), "Hardware disconnected");
    EXPECT_EQ(link.StatusPanel(1), "");
    EXPECT_FALSE(link.LinkControl(LinkMode::Close));  // a second close finds the port closed
    // Other modes do nothing.
    EXPECT_FALSE(link.LinkControl(static_cast<LinkMode>(3)));
    EXPECT_FALSE(link.LinkControl(static_cast<LinkMode>(-1)));
    // Reopening goes through the same steps.
    EXPECT_TRUE(link.LinkControl(LinkMode::Open));
    EXPECT_EQ(link.StatusPanel(0), "Hardware connected OK");
    // The port's own progress messages may be there; no failure is.
    for (const std::string& line : t.memo.Lines()) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
}

TEST(LinkPty, FirmwareReplyIsDelivered) {
    struct Case {
        const char* legend;
        bool longFirmware;
    };
    for (const Case& c : {Case{"45-byte firmware record", false}, Case{"47-byte firmware record", true}}) {
        SCOPED_TRACE(c.legend);
        sim::DecoderConfig config;
        config.longFirmware = c.longFirmware;
        PtyLink t(config);
        ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
        t.link->SendFirmwareRequest();
        ASSERT_TRUE(t.WaitForText());
        EXPECT_NE(CallbackTexts()[0].find("teKAN - teVO Ver: 6.33.1"), std::string::npos) << CallbackTexts()[0];
        const auto lines = t.memo.CommandLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("(*) Cmd_01_FrmWr_Ver : Sending time ", 0), 0u) << lines[0];
    }
}

TEST(LinkPty, ManualLapCarriesTheDecoderClock) {
    sim::DecoderConfig config;
    config.offsetMs = 5000;
    config.transponder = 7;
    PtyLink t(config);
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    const TDateTime sent = Now();
    t.link->SendManualLap(sent);
    ASSERT_TRUE(t.WaitForText());
    const std::string text = CallbackTexts()[0];
    ASSERT_EQ(text.size(), 51u) << text;
    EXPECT_EQ(text.substr(0, 8), "0000007-");
    EXPECT_EQ(text.substr(48), "001");  // reader id 1
    // The decoder runs 5 s ahead of the PC clock; the reply comes within a second.
    const double ahead = SecondsBetween(PassageTime(text), sent);
    EXPECT_GT(ahead, 4.0);
    EXPECT_LT(ahead, 6.5);
    EXPECT_EQ(t.memo.CommandLines().at(0).rfind("(*) Cmd_52_Manual_Lap: ", 0), 0u);
}

// The link being read by ArrivalCallback, and what that callback saw.
TTest* g_arrivalLink = nullptr;
int64_t g_arrivalUnixUs = 0;
int64_t g_callbackUnixUs = 0;

int64_t WallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void ArrivalCallback(const ByteString& text, int reserved) {
    RecordCallback(text, reserved);
    g_arrivalUnixUs = g_arrivalLink->CurrentDelivery().arrivalUnixUs;
    g_callbackUnixUs = WallUs();
}

TEST(LinkPty, ReplyCarriesTheInstantItsLastByteArrived) {
    // The decoder answers 30 ms after the request; the text reaches the callback later still
    // (the component waits for the line to go quiet), but its arrival is when the bytes came.
    sim::DecoderConfig config;
    config.latencyMs = 30;
    PtyLink t(config);
    t.link = std::make_unique<TTest>(nullptr, t.simulator.PortName(0), ArrivalCallback, false, "", &t.memo);
    g_arrivalLink = t.link.get();
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    const int64_t sent = WallUs();
    t.link->SendManualLap(Now());
    ASSERT_TRUE(t.WaitForText());
    EXPECT_GE(g_arrivalUnixUs, sent + 30'000);
    EXPECT_LE(g_arrivalUnixUs, g_callbackUnixUs);
    EXPECT_EQ(t.link->CurrentDelivery().arrivalUnixUs, 0) << "only valid during the delivery";
    g_arrivalLink = nullptr;
}

TEST(LinkPty, SetDateTimeMovesTheDecoderClock) {
    sim::DecoderConfig config;
    config.offsetMs = 3'600'000;  // one hour ahead
    PtyLink t(config);
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    t.link->SendSetDateTime(Now());
    ASSERT_TRUE(ServeUntil([&] { return t.simulator.Stats(0).clockSets == 1; }, kReplyTimeout));
    t.link->SendManualLap(Now());
    ASSERT_TRUE(t.WaitForText());
    // Whole seconds only reach the decoder: it may lag the PC by up to a second.
    const double ahead = SecondsBetween(PassageTime(CallbackTexts()[0]), Now());
    EXPECT_GT(ahead, -2.0);
    EXPECT_LT(ahead, 1.0);
}

TEST(LinkPty, ResetAndGpsCommandsReachTheDecoder) {
    PtyLink t(sim::DecoderConfig{});
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    t.link->SendResetTimer(Now());
    ASSERT_TRUE(ServeUntil([&] { return t.simulator.Stats(0).timerResets == 1; }, kReplyTimeout));
    t.link->SendResetGps(Now());
    ASSERT_TRUE(ServeUntil([&] { return t.simulator.Stats(0).gpsResets == 1; }, kReplyTimeout));
    // The deferred requests: 100 resets the timer, 200 writes the PC clock.
    t.link->PostDeferredRequest(DeferredRequest::Reset);
    t.link->PostDeferredRequest(DeferredRequest::SetDateTime);
    ASSERT_TRUE(ServeUntil([&] { return t.simulator.Stats(0).clockSets == 1; }, kReplyTimeout));
    EXPECT_EQ(t.simulator.Stats(0).timerResets, 2u);
    EXPECT_EQ(t.simulator.Stats(0).badChecksums, 0u);
    // Lines: Cmd 07, Cmd 55 and the set date-time of request 200 (request 100 logs nothing).
    const auto lines = t.memo.CommandLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].rfind("(*) Cmd_03_Set_DateTm: ", 0), 0u);
}

TEST(LinkPty, DeferredRequestOfADestroyedLinkIsDropped) {
    LinkEnvironment env;
    MemoRecorder memo;
    auto link = std::make_unique<TTest>(nullptr, "NOWHERE", RecordCallback, false, "", &memo);
    link->PostDeferredRequest(DeferredRequest::SetDateTime);
    link.reset();
    ServeFor(100ms);  // the posted call runs and finds the link gone
    SUCCEED();
}

TEST(LinkPty, SilentDecoderDeliversNothing) {
    sim::DecoderConfig config;
    config.silent = true;
    PtyLink t(config);
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    t.link->SendFirmwareRequest();
    t.link->SendManualLap(Now());
    ASSERT_TRUE(ServeUntil([&] { return t.simulator.Stats(0).manualLaps == 1; }, kReplyTimeout));
    ServeFor(300ms);
    EXPECT_TRUE(CallbackTexts().empty());
    EXPECT_EQ(t.memo.CommandLines().size(), 2u);
    for (const std::string& line : t.memo.Lines()) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
    EXPECT_TRUE(t.link->Connected());
}

TEST(LinkPty, HangUpMidSessionIsReportedOnce) {
    sim::DecoderConfig config;
    config.hangupSeconds = 0.3;
    PtyLink t(config);
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    const auto failureSeen = [&] {
        for (const std::string& line : t.memo.Lines())
            if (line.find(":Code ") != std::string::npos) return true;
        return false;
    };
    ASSERT_TRUE(ServeUntil(failureSeen, kReplyTimeout));
    ServeFor(1000ms);
    // A lasting fault is told, not repeated on every pass of the worker.
    const auto lines = t.memo.Lines();
    EXPECT_LT(lines.size(), 10u);
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("Msg  ", 0), 0u) << line;
    // Closing works; reopening finds the virtual port gone and says so.
    EXPECT_FALSE(t.link->LinkControl(LinkMode::Close));
    EXPECT_FALSE(t.link->LinkControl(LinkMode::Open));
    const auto boxes = t.env.desktop.Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().text, "Unable to open SIMLINK");
}

TEST(LinkPty, PortThatDoesNotExist) {
    LinkEnvironment env;
    MemoRecorder memo;
    TTest link(nullptr, "COM42", RecordCallback, false, "", &memo);
    EXPECT_FALSE(link.LinkControl(LinkMode::Open));
    const auto boxes = env.desktop.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Error Open COM");
    EXPECT_EQ(boxes[0].text, "Unable to open COM42");
    EXPECT_EQ(boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(link.StatusPanel(0), "Hardware disconnected");
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.LinkControl(LinkMode::IsOpen));
    const auto lines = memo.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(IsTimedMemoLine(lines.back(), "Error - Unable to open COM42")) << lines.back();
    EXPECT_EQ(env.desktop.BeepCount(), 0);
}

TEST(LinkPty, TestWindowModeKeepsBytesUndecoded) {
    PtyLink t(sim::DecoderConfig{}, true);
    ASSERT_TRUE(t.link->LinkControl(LinkMode::Open));
    EXPECT_FALSE(t.link->Connected());
    EXPECT_NE(t.link->StatusPanel(0), "Hardware connected OK");
    t.link->SendManualLap(Now());
    ASSERT_TRUE(ServeUntil([&] { return t.link->Parser().RxBuffer().size() >= 32; }, kReplyTimeout));
    ServeFor(100ms);
    EXPECT_TRUE(CallbackTexts().empty());
    EXPECT_EQ(t.link->Parser().RxBuffer().size(), 32u);
}

TEST(LinkPty, TrafficLogIsWrittenAtClosingOnlyWhenNamed) {
    struct Case {
        const char* legend;
        const char* logName;
        bool written;
    };
    for (const Case& c : {Case{"named log file", "traffic.log", true}, Case{"no log file name", "", false}}) {
        SCOPED_TRACE(c.legend);
        LinkEnvironment env;
        sim::Simulator simulator;
        sim::DecoderConfig config;
        config.name = "SIMLOG";
        std::string error;
        ASSERT_TRUE(simulator.AddDecoder(config, error) && simulator.Start(error)) << error;
        MemoRecorder memo;
        TTest link(nullptr, "SIMLOG", RecordCallback, false, c.logName, &memo);
        ASSERT_TRUE(link.LinkControl(LinkMode::Open));
        link.SendFirmwareRequest();
        ASSERT_TRUE(ServeUntil([] { return !CallbackTexts().empty(); }, kReplyTimeout));
        EXPECT_EQ(link.LogLines().empty(), !c.written);
        link.LinkControl(LinkMode::Close);
        EXPECT_TRUE(link.LogLines().empty());
        const std::string path = env.Folder() + "traffic.log";
        std::FILE* file = std::fopen(path.c_str(), "rb");
        EXPECT_EQ(file != nullptr, c.written);
        if (file == nullptr) continue;
        std::string content(4096, '\0');
        content.resize(std::fread(content.data(), 1, content.size(), file));
        std::fclose(file);
        EXPECT_NE(content.find("#Cmd_01_FrmWr_Ver ;"), std::string::npos);
        EXPECT_NE(content.find("#MsgInviato;"), std::string::npos);
        EXPECT_NE(content.find("#BufferRx;"), std::string::npos);
        EXPECT_NE(content.find("\r\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace sincrovia
