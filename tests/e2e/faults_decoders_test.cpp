// Decoders that misbehave, end to end: one that hangs up in the middle of a procedure, one that
// sends random bytes far beyond what a real line carries, one that never answers, one that
// runs an old release, and the table of decoders whose reading fails (hung up or silent after
// the write, late, undecodable) or that get a procedure twice. In each case the program must
// not crash, must not spin once things are quiet, and must give its own reaction: a refusal
// box, a log line, a red lamp with "no reply" in the slot; never a green lamp.
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
    const auto sinceStart =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    ASSERT_LT(sinceStart.count(), kClickAtMs) << "opening took too long to land the write before the hang-up";
    h.PumpFor(kClickAtMs - static_cast<int>(sinceStart.count()));

    ASSERT_TRUE(h.Click(w.SetTimeButton(2)));
    ASSERT_TRUE(h.WaitIdle(kProcedureTimeoutMs));
    ASSERT_TRUE(h.Sim().Stats(1).hungUp);
    ASSERT_EQ(1u, h.Frames(DecoderCommand::SetDateTime).size()) << "the write went out before the hang-up";

    // The read-back reached only the decoder still there; slot 2 has no reply, the verdict is
    // KO, and its log says what happened to the line.
    EXPECT_EQ(1u, h.Frames(DecoderCommand::ManualLap).size());
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty());
    EXPECT_EQ(NoReplyText, w.TimeBox(2)->text().toStdString());
    EXPECT_EQ("Synchronization KO", w.LblSyncResult->text().toStdString());
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
    EXPECT_TRUE(h.Procedures().Slot(1).PortOpen);
    EXPECT_FALSE(h.Procedures().Slot(2).PortOpen);
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
    ASSERT_NE(nullptr, h.Procedures().Slot(1).DecoderLink);

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
        if (TTest* link = h.Procedures().Slot(1).DecoderLink)
            largestBuffer = std::max(largestBuffer, link->Parser().RxBuffer().size());
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
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty())
        << h.Log(1).substr(h.Log(1).size() > 2000 ? h.Log(1).size() - 2000 : 0);
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

    // A reading goes out to both; only the decoder that answers fills its slot, and the one
    // that does not makes the verdict KO.
    ASSERT_TRUE(h.Click(w.SpBtReadDtAndTm));
    ASSERT_TRUE(h.WaitIdle(kReadTimeoutMs));
    EXPECT_EQ(2u, h.Frames(DecoderCommand::ManualLap).size());
    EXPECT_FALSE(w.TimeBox(1)->text().isEmpty());
    EXPECT_EQ(NoReplyText, w.TimeBox(2)->text().toStdString());
    EXPECT_EQ("Synchronization KO", w.LblSyncResult->text().toStdString());
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

/// A user who leaves the decoding-error box open for a while: the event loop runs meanwhile
/// (replies, timer steps), and the lamp is noted as it is when the box is answered.
class LingeringDesktop : public RecordingDesktop {
public:
    LingeringDesktop(SyncHarness& h, int openMs) : h_(h), openMs_(openMs) {}
    MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer) override {
        if (text.find("Error in Decod data RX from Decoder: ") != std::string::npos) {
            h_.PumpFor(openMs_);
            lampWhenAnswered_ = h_.Window().LblSyncResult->text().toStdString();
        }
        return RecordingDesktop::MessageBox(caption, text, icon, buttons, defaultAnswer);
    }
    std::string lampWhenAnswered_;

private:
    SyncHarness& h_;
    int openMs_;
};

TEST(FaultDecoders, AFailedReadingNeverGivesAGreenLampAndEachPressCountsOnce) {
    // PIT OUT (slot 2) misbehaves; the other three are healthy and agree.
    constexpr int kLateReplyMs = 600;
    constexpr int64_t kFarOffMs = 5000;
    constexpr int kBoxOpenMs = 1500;
    // The read-back comes 3500 ms after the (only) reset; a second press that does not restart
    // the countdown brings it 1.5 s after. The bound leaves room for a loaded machine.
    constexpr int kResetToReadMs = 3000;
    enum class Press { Read, Sync, ResetGps };
    using S = ReadingStatus;
    const struct Row {
        const char* legend;
        void (*misbehave)(sim::DecoderConfig&);
        Press press;
        bool twice;                                    // a second press queued behind the first (double click)
        const char* lamp;                              // at the end
        const char* slot2;                             // time box of slot 2 at the end (nullptr: a time)
        std::size_t writes, resets, reads, gpsResets;  // frames the decoders received
        std::size_t rounds;                            // rounds published
        S status2;                                     // slot 2 in the published round
        bool refusedAfter;                             // the clock procedures refuse until the ports are reopened
    } rows[] = {
        {"line hung up right after the write", [](sim::DecoderConfig& d) { d.afterSet = sim::AfterSet::Hangup; },
         Press::Sync, false, "Synchronization KO", NoReplyText, 4, 3, 3, 0, 1, S::NoReply, true},
        {"silent after the write", [](sim::DecoderConfig& d) { d.afterSet = sim::AfterSet::Silent; }, Press::Sync,
         false, "Synchronization KO", NoReplyText, 4, 4, 4, 0, 1, S::NoReply, true},
        {"reply 600 ms late, clock 5 s off",
         [](sim::DecoderConfig& d) {
             d.latencyMs = kLateReplyMs;
             d.offsetMs = kFarOffMs;
         },
         Press::Read, false, "Synchronization KO", NoReplyText, 0, 0, 4, 0, 1, S::NoReply, true},
        {"undecodable reply, its box left open past the wait", [](sim::DecoderConfig& d) { d.badClock = true; },
         Press::Read, false, "Synchronization KO", BadReplyText, 0, 0, 4, 0, 1, S::BadReply, false},
        {"3-Synchro Date and Time pressed twice", [](sim::DecoderConfig&) {}, Press::Sync, true, "Synchronization OK",
         nullptr, 4, 4, 4, 0, 1, S::Ok, false},
        {"Reset GPS pressed twice", [](sim::DecoderConfig&) {}, Press::ResetGps, true, "Synchronization Result", "", 0,
         0, 0, 4, 0, S::Closed, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.legend);
        std::vector<sim::DecoderConfig> decoders{Decoder("PITIN", 0), Decoder("PITOUT", 0), Decoder("START", 0),
                                                 Decoder("T1", 0)};
        row.misbehave(decoders[1]);
        SyncHarness h(decoders);
        TSincrovia& w = h.Window();
        OpenAllOrFail(h);
        LingeringDesktop lingering(h, kBoxOpenMs);
        SetDesktop(&lingering);
        QAbstractButton* button = row.press == Press::Read   ? static_cast<QAbstractButton*>(w.SpBtReadDtAndTm)
                                  : row.press == Press::Sync ? w.SpBtWriteDtAndTm
                                                             : w.BtSendCmd55;
        if (row.twice)
            QMetaObject::invokeMethod(
                button, [button] { button->click(); }, Qt::QueuedConnection);
        ASSERT_TRUE(h.Click(button));
        ASSERT_TRUE(h.WaitIdle(kProcedureTimeoutMs));
        h.PumpFor(kLateReplyMs + 400);  // late replies and queued presses have their chance
        SetDesktop(&h.Boxes());

        EXPECT_EQ(row.lamp, w.LblSyncResult->text().toStdString());
        if (!lingering.lampWhenAnswered_.empty()) {
            EXPECT_EQ(row.lamp, lingering.lampWhenAnswered_);
        }
        if (row.slot2 != nullptr) {
            EXPECT_EQ(row.slot2, w.TimeBox(2)->text().toStdString());
        }
        if (row.slot2 != nullptr && *row.slot2 != '\0') {
            EXPECT_EQ("", w.DateBox(2)->text().toStdString());
        }
        EXPECT_EQ(row.writes, h.Frames(DecoderCommand::SetDateTime).size());
        EXPECT_EQ(row.resets, h.Frames(DecoderCommand::ResetTimer).size());
        EXPECT_EQ(row.reads, h.Frames(DecoderCommand::ManualLap).size());
        EXPECT_EQ(row.gpsResets, h.Frames(DecoderCommand::ResetGps).size());
        if (row.resets > 0 && row.reads > 0) {
            EXPECT_GE((h.Frames(DecoderCommand::ManualLap).front().unixUs -
                       h.Frames(DecoderCommand::ResetTimer).back().unixUs) /
                          1000,
                      kResetToReadMs);
        }
        EXPECT_EQ(row.rounds, h.Rounds().size());
        if (!h.Rounds().empty()) {
            const RoundResult& round = h.Rounds().back();
            EXPECT_EQ(row.lamp, round.verdict);
            EXPECT_EQ(row.status2, round.readings[1].status);
            EXPECT_EQ(ReadingStatus::Ok, round.readings[0].status);
            if (row.status2 != S::Ok) {
                EXPECT_NE(std::string::npos, round.reason.find("Decoder PIT OUT (PITOUT)"));
            }
        }
        if (row.status2 == S::NoReply) {
            EXPECT_NE(std::string::npos, h.Log(2).find("Decoder PIT OUT (PITOUT): no reply to the clock request"));
        }
        if (!row.refusedAfter) continue;
        EXPECT_EQ(ColorBlack, w.FirmwareLabel(2)->Color());
        for (QAbstractButton* again :
             {static_cast<QAbstractButton*>(w.SpBtWriteDtAndTm), static_cast<QAbstractButton*>(w.SetTimeButton(2))}) {
            h.Boxes().Clear();
            EXPECT_TRUE(h.Click(again));
            EXPECT_TRUE(AnyBoxContains(h.Boxes(), kRefusal)) << again->text().toStdString();
            EXPECT_FALSE(w.ThreadedTimer1.Enabled());
            ASSERT_TRUE(h.WaitIdle(kProcedureTimeoutMs));
        }
        EXPECT_EQ(row.writes, h.Frames(DecoderCommand::SetDateTime).size());
    }
}

}  // namespace
}  // namespace sincrovia::e2e
