// Decoders that misbehave, end to end: one that hangs up in the middle of a procedure, one that
// sends random bytes far beyond what a real line carries, one that never answers and one that
// runs an old release. In each case the program must not crash, must not spin once things are
// quiet, and must give its own reaction: a refusal box, a log line, a slot left empty.
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "FaultProbes.h"
#include "SyncHarness.h"
#include "decoder_link/Reception.h"
#include "decoder_link/SFormCOM_TestConnessione.h"

namespace sincrovia::e2e {
namespace {

constexpr int kOpenTimeoutMs = 10000;
constexpr int kProcedureTimeoutMs = 20000;
constexpr int kReadTimeoutMs = 5000;
constexpr char kRefusal[] = "Unable to continue for one or more of the following reasons:";
constexpr char kOldReleaseEnd[] = "release 6.33.1!";

// A line at 115200 baud carries 11 520 bytes a second. Four times that for 15 s is the garbage
// of a minute at line rate.
constexpr double kLineRateBytesPerSecond = 11520.0;
constexpr double kGarbageBytesPerSecond = 4 * kLineRateBytesPerSecond;
constexpr int kGarbageRunMs = 15000;
constexpr int kGarbageSampleMs = 250;
// Resident memory may settle after the first seconds (allocator pools, the log memo); past that
// it must not keep growing with the garbage.
constexpr int kGarbageWarmUpMs = 4000;
constexpr long kRssGrowthBoundKiB = 16 * 1024;
// A queued call must be served well within this, even while the garbage flows.
constexpr int kQueuedCallBoundMs = 500;
// Decoding a line at four times line rate must leave most of a core free.
constexpr double kGarbageCpuShareBound = 0.8;

/// Opens the simulator's decoders with their firmware read, and checks it did.
void OpenAllOrFail(SyncHarness& h) {
    h.ChooseAll();
    ASSERT_TRUE(h.OpenAll(kOpenTimeoutMs));
}

TEST(FaultDecoders, HangUpDuringTheSingleDecoderWrite) {
    // Decoder 2 is written, then hangs up during the five seconds before the read-back.
    constexpr double kHangUpAfterSeconds = 6.5;
    constexpr int kClickAtMs = 4000;
    auto leaving = Decoder("PITOUT", 0);
    leaving.hangupSeconds = kHangUpAfterSeconds;
    const auto started = std::chrono::steady_clock::now();
    SyncHarness h({Decoder("PITIN", 0), leaving});
    TSincrovia& w = h.Window();
    OpenAllOrFail(h);
    const auto sinceStart = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_LT(sinceStart.count(), kClickAtMs) << "opening took too long to land the write before the hang-up";
    h.PumpFor(kClickAtMs - static_cast<int>(sinceStart.count()));

    ASSERT_TRUE(h.Click(w.SetTimeButton(2)));
    ASSERT_TRUE(h.WaitIdle(kProcedureTimeoutMs));
    ASSERT_TRUE(h.Sim().Stats(1).hungUp);
    ASSERT_EQ(1u, h.Frames(DecoderCommand::SetDateTime).size()) << "the write went out before the hang-up";

    // The read-back reached only the decoder still there; slot 2 stays empty, and its log says
    // what happened to the line.
    EXPECT_EQ(1u, h.Frames(DecoderCommand::ManualLap).size());
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty());
    EXPECT_TRUE(w.TimeBox(2)->text().isEmpty());
    EXPECT_NE(std::string::npos, h.Log(2).find(" Text: ")) << h.Log(2);
    EXPECT_FALSE(w.FBusy);

    // Quiet afterwards: no error flood in the log, no busy worker, no box after box.
    const std::size_t boxes = h.Boxes().Boxes().size();
    const std::size_t logSize = h.Log(2).size();
    EXPECT_LT(CpuOverQuietSecond(), kQuietCpuSecondsBound);
    EXPECT_EQ(logSize, h.Log(2).size()) << h.Log(2).substr(logSize);
    EXPECT_EQ(boxes, h.Boxes().Boxes().size()) << BoxesText(h.Boxes());

    // The program goes on: a reading of what is left, a close, a reopen without the lost line.
    ASSERT_TRUE(h.Click(w.SpBtReadDtAndTm));
    ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs));
    EXPECT_EQ(2u, h.Frames(DecoderCommand::ManualLap).size());
    ASSERT_TRUE(h.Click(w.SpButComClose));
    ASSERT_TRUE(h.OpenAll(kOpenTimeoutMs));
    EXPECT_TRUE(w.PortOpen[0]);
    EXPECT_FALSE(w.PortOpen[1]);
    EXPECT_EQ(ColorGreen, w.FirmwareLabel(1)->Color());
    EXPECT_EQ(ColorGrayText, w.FirmwareLabel(2)->Color());
}

TEST(FaultDecoders, GarbageAtFourTimesLineRateForFifteenSeconds) {
    auto noisy = Decoder("NOISY", 0);
    noisy.garbagePerSecond = kGarbageBytesPerSecond;
    SyncHarness h({noisy, Decoder("CLEAN", 0)});
    TSincrovia& w = h.Window();
    OpenAllOrFail(h);
    // The firmware reply got through the noise.
    EXPECT_EQ(ColorGreen, w.FirmwareLabel(1)->Color()) << h.Log(1).substr(0, 2000);
    ASSERT_NE(nullptr, w.DecoderLink[0]);

    // Run the real event loop while the garbage flows, sampling the buffer, the loop's answer
    // time and the memory.
    std::size_t largestBuffer = 0;
    int slowestCall = 0;
    int unanswered = 0;
    long rssAfterWarmUp = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuBefore = ProcessCpuSeconds();
    for (;;) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= kGarbageRunMs) break;
        if (rssAfterWarmUp == 0 && elapsed >= kGarbageWarmUpMs) rssAfterWarmUp = ResidentKiB();
        const int delay = QueuedCallDelayMs(kQueuedCallBoundMs * 4);
        if (delay < 0) ++unanswered;
        slowestCall = std::max(slowestCall, delay);
        if (TTest* link = w.DecoderLink[0]) largestBuffer = std::max(largestBuffer, link->Parser().RxBuffer().size());
        RunEventLoopFor(kGarbageSampleMs);
    }
    const double cpuShare = (ProcessCpuSeconds() - cpuBefore) * 1000.0 / kGarbageRunMs;
    const long rssAtEnd = ResidentKiB();
    ::testing::Test::RecordProperty("largest_rx_buffer", static_cast<int>(largestBuffer));
    ::testing::Test::RecordProperty("slowest_queued_call_ms", slowestCall);
    ::testing::Test::RecordProperty("cpu_share_percent", static_cast<int>(cpuShare * 100));
    ::testing::Test::RecordProperty("rss_growth_kib", static_cast<int>(rssAtEnd - rssAfterWarmUp));

    // The buffer filled with garbage to its bound and was cut back, never beyond it.
    EXPECT_GT(largestBuffer, kRxBufferLowMark);
    EXPECT_LE(largestBuffer, kRxBufferHighMark);
    EXPECT_EQ(0, unanswered);
    EXPECT_LT(slowestCall, kQueuedCallBoundMs);
    EXPECT_LT(cpuShare, kGarbageCpuShareBound);
    ASSERT_GT(rssAfterWarmUp, 0);
    EXPECT_LT(rssAtEnd - rssAfterWarmUp, kRssGrowthBoundKiB);
    EXPECT_FALSE(h.Sim().Stats(0).hungUp);

    // Records still decode while the garbage goes on: both decoders are read.
    ASSERT_TRUE(h.Click(w.SpBtReadDtAndTm));
    ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs));
    EXPECT_EQ(2u, h.Frames(DecoderCommand::ManualLap).size());
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty()) << h.Log(1).substr(h.Log(1).size() > 2000 ? h.Log(1).size() - 2000 : 0);
    EXPECT_FALSE(w.TimeBox(2)->text().isEmpty());
    EXPECT_EQ("Synchronization OK", w.LblSyncResult->text().toStdString());
}

TEST(FaultDecoders, SilentDecoderBlocksTheClockProceduresButNotTheReading) {
    auto mute = Decoder("MUTE", 0);
    mute.silent = true;
    SyncHarness h({Decoder("PITIN", 0), mute});
    TSincrovia& w = h.Window();
    OpenAllOrFail(h);
    EXPECT_EQ(2u, h.Frames(DecoderCommand::FirmwareRequest).size());
    EXPECT_EQ(ColorGreen, w.FirmwareLabel(1)->Color());
    EXPECT_EQ(ColorBlack, w.FirmwareLabel(2)->Color()) << "open, no answer";
    EXPECT_LT(CpuOverQuietSecond(), kQuietCpuSecondsBound);

    h.Boxes().Clear();
    ASSERT_TRUE(h.Click(w.SpBtWriteDtAndTm));
    EXPECT_TRUE(AnyBoxContains(h.Boxes(), kRefusal)) << BoxesText(h.Boxes());
    EXPECT_TRUE(h.Frames(DecoderCommand::SetDateTime).empty());

    // A reading goes out to both; only the decoder that answers fills its slot.
    ASSERT_TRUE(h.Click(w.SpBtReadDtAndTm));
    ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs));
    EXPECT_EQ(2u, h.Frames(DecoderCommand::ManualLap).size());
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty());
    EXPECT_TRUE(w.TimeBox(2)->text().isEmpty());
    EXPECT_FALSE(w.FBusy);
    EXPECT_LT(CpuOverQuietSecond(), kQuietCpuSecondsBound);
}

TEST(FaultDecoders, OldReleaseRefusesEveryClockProcedureWithTheBox) {
    auto old = Decoder("PITIN", 0);
    old.firmware = "6.33";
    SyncHarness h({old, Decoder("PITOUT", 0)});
    TSincrovia& w = h.Window();
    OpenAllOrFail(h);
    EXPECT_EQ("Firmware V: 6.33", w.FirmwareLabel(1)->text().toStdString());
    EXPECT_EQ(ColorRed, w.FirmwareLabel(1)->Color());
    EXPECT_EQ(ColorGreen, w.FirmwareLabel(2)->Color());

    struct Case {
        const char* legend;
        QToolButton* button;
        DecoderCommand frameCode;  // the command the procedure would have sent first
    } const cases[] = {
        {"3-Synchro Date and Time", w.SpBtWriteDtAndTm, DecoderCommand::SetDateTime},
        {"Reset Reader", w.BtResetTimer, DecoderCommand::ResetTimer},
        {"Reset GPS", w.BtSendCmd55, DecoderCommand::ResetGps},
    };
    for (const Case& c : cases) {
        h.Boxes().Clear();
        ASSERT_TRUE(h.Click(c.button)) << c.legend;
        ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs)) << c.legend;
        h.PumpFor(200);
        EXPECT_TRUE(AnyBoxContains(h.Boxes(), kRefusal)) << c.legend;
        EXPECT_TRUE(AnyBoxContains(h.Boxes(), kOldReleaseEnd)) << c.legend << "\n" << BoxesText(h.Boxes());
        EXPECT_TRUE(h.Frames(c.frameCode).empty()) << c.legend;
        EXPECT_FALSE(w.FBusy) << c.legend;
    }
    EXPECT_EQ(ColorRed, w.FirmwareLabel(1)->Color());
    EXPECT_LT(CpuOverQuietSecond(), kQuietCpuSecondsBound);
}

}  // namespace
}  // namespace sincrovia::e2e
