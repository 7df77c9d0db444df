// The serial component on real pseudo-terminal pairs through the POSIX backend: opening and
// closing, receiving clusters, writing, arbitrary rates, modem status of a line without modem
// lines, destruction while open, and a hang-up followed by a reopen.
#include <gtest/gtest.h>
#include <unistd.h>

#include <termios.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <filesystem>
#include <memory>

#include "SerialNGTestSupport.h"
#include "serial/SerialNG.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

using serialtest::PtyPair;
using serialtest::SerialRecorder;
using serialtest::ServeFor;
using serialtest::ServeUntil;
using std::chrono::milliseconds;

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMainThread();
        ASSERT_TRUE(pty.Ok());
        port = std::make_unique<TSerialPortNG>();
        rec = std::make_unique<SerialRecorder>(*port);
    }
    void Open(const std::string& path) {
        port->SetCommPort(path);
        port->SetActive(true);
        ASSERT_TRUE(port->Active());
        rec->Clear();
    }
    PtyPair pty;
    std::unique_ptr<TSerialPortNG> port;
    std::unique_ptr<SerialRecorder> rec;
};

TEST_F(PtyTest, OpenAndCloseReport) {
    struct Case {
        const char* legend;
        bool exists;
        std::vector<std::uint32_t> places;
        bool active;
    };
    const Case cases[] = {
        {"a missing device reports 110 then 112", false, {110, 112}, false},
        {"a pseudo-terminal opens with 110 only", true, {110}, true},
    };
    for (const Case& c : cases) {
        rec->Clear();
        port->SetCommPort(c.exists ? pty.SlavePath() : "/dev/does-not-exist-sincrovia");
        port->SetActive(true);
        EXPECT_EQ(rec->Places(), c.places) << c.legend;
        EXPECT_EQ(port->Active(), c.active) << c.legend;
    }
    rec->Clear();
    port->SetActive(false);
    EXPECT_EQ(rec->Places(), std::vector<std::uint32_t>{100})
        << "closing a pty reports nothing but its message (no modem-line failures)";
    EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);
}

TEST_F(PtyTest, SecondOpeningOfTheSameLineIsRefused) {
    Open(pty.SlavePath());
    TSerialPortNG other;
    SerialRecorder otherRec(other);
    other.SetCommPort(pty.SlavePath());
    other.SetActive(true);
    EXPECT_FALSE(other.Active()) << "lines are opened unshared";
    EXPECT_TRUE(otherRec.HasReport(112, "Error reopening Port"));
}

TEST_F(PtyTest, ReceivesClusters) {
    struct Case {
        const char* legend;
        std::size_t bytes;
    };
    const Case cases[] = {
        {"a short record", 20},
        {"exactly the cluster size", 96},
        {"a long burst", 300},
    };
    port->SetBaudRate(115000);
    port->SetClusterSize(96);
    port->SetRTOCharDelayTime(190);
    port->SetRTOExtraDelayTime(4);
    Open(pty.SlavePath());
    EXPECT_TRUE(rec->reports.empty()) << "115000 is accepted on this line";
    for (const Case& c : cases) {
        rec->Clear();
        std::string bytes;
        for (std::size_t i = 0; i < c.bytes; ++i) bytes += static_cast<char>('A' + i % 26);
        pty.Send(bytes);
        ASSERT_TRUE(ServeUntil([&] { return rec->Received().size() >= c.bytes; })) << c.legend;
        EXPECT_EQ(rec->Received(), bytes) << c.legend;
        EXPECT_TRUE(rec->reports.empty()) << c.legend;
        if (&c != &cases[0]) {
            // The worker waits on the line by now: the arrival itself wakes it.
            EXPECT_GE(rec->Count("RxChar"), 1) << c.legend;
        }
    }
}

TEST_F(PtyTest, WritesReachTheOtherEnd) {
    Open(pty.SlavePath());
    port->SendText("#01\r\n");
    EXPECT_EQ(pty.ReadUpTo(5, milliseconds(2000)), "#01\r\n");
    ASSERT_TRUE(ServeUntil([&] { return rec->Count("WriteDone") == 1; }));
    EXPECT_EQ(port->WrittenBytes(), 5u);
    EXPECT_FALSE(port->SendInProgress());
}

TEST_F(PtyTest, LineWithoutModemLinesReadsAllLow) {
    Open(pty.SlavePath());
    port->SetDTRState(true);
    port->SetRTSState(false);
    port->SetBREAKState(true);
    port->SetBREAKState(false);
    ServeFor(milliseconds(300));
    EXPECT_EQ(port->ModemState(), 0u);
    EXPECT_FALSE(port->CTSState());
    EXPECT_TRUE(rec->reports.empty());
}

TEST_F(PtyTest, DestructionWhileOpenClosesTheLine) {
    port->SetClusterSize(1);
    Open(pty.SlavePath());
    pty.Send("unclaimed");
    port->OnRxClusterEvent = nullptr;  // nobody takes the clusters
    ASSERT_TRUE(ServeUntil([&] { return port->FirstClusterSize() > 0; }));
    port.reset();
    // The line is free again: a new component opens it.
    TSerialPortNG again;
    again.SetCommPort(pty.SlavePath());
    again.SetActive(true);
    EXPECT_TRUE(again.Active());
}

TEST_F(PtyTest, HangUpIsReportedWithoutSpinningAndTheLineCanComeBack) {
    // The port name is a link, as the simulator publishes its lines; it is repointed when the
    // line comes back.
    const auto dir = std::filesystem::temp_directory_path() / ("sincrovia-pty-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto link = dir / "ttyTEST0";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty.SlavePath(), link);
    Open(link.string());
    pty.Send("before");
    ASSERT_TRUE(ServeUntil([&] { return rec->Received() == "before"; }));

    rec->Clear();
    pty.CloseMaster();
    ASSERT_TRUE(ServeUntil([&] { return !rec->reports.empty(); })) << "the hang-up is reported";
    const double cpuBefore = serialtest::ProcessCpuSeconds();
    ServeFor(milliseconds(1000));
    const double cpu = serialtest::ProcessCpuSeconds() - cpuBefore;
    EXPECT_LT(cpu, 0.3) << "the worker must not spin on a hung-up line";
    EXPECT_EQ(rec->Places(), std::vector<std::uint32_t>{9914}) << "a lost line is told once";
    EXPECT_TRUE(port->LineLost());

    port->SetActive(false);
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);

    PtyPair back;
    ASSERT_TRUE(back.Ok());
    std::filesystem::remove(link);
    std::filesystem::create_symlink(back.SlavePath(), link);
    rec->Clear();
    port->SetActive(true);
    ASSERT_TRUE(port->Active());
    EXPECT_FALSE(port->LineLost());
    back.Send("after");
    ASSERT_TRUE(ServeUntil([&] { return rec->Received() == "after"; }));
    port->SendText("ok");
    EXPECT_EQ(back.ReadUpTo(2, milliseconds(2000)), "ok");
    port->SetActive(false);
    std::filesystem::remove_all(dir);
}

// The far end sends a burst much larger than the kernel's buffer; the worker must keep up with
// it rather than pause after each pass whose event wait ended at once.
TEST_F(PtyTest, LargeBurstIsReadWithoutPausesBetweenPasses) {
    constexpr std::size_t kBurst = 512 * 1024;  // about ten seconds with a 75 ms pause per pass
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kSlowdown = 6;  // sanitized builds run the worker several times slower
#else
    constexpr int kSlowdown = 1;
#endif
    port->SetClusterSize(96);
    Open(pty.SlavePath());
    std::string bytes(kBurst, 'x');
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        pty.Send(bytes);
        sent = true;
    });
    const bool all = ServeUntil([&] { return rec->Received().size() >= kBurst; }, milliseconds(5000) * kSlowdown);
    ServeUntil([&] { return sent.load(); }, milliseconds(60000));  // the sender needs a reader
    sender.join();
    EXPECT_TRUE(all) << "received " << rec->Received().size() << " of " << kBurst;
}

// Bytes that arrive while earlier ones wait for the cluster rule wake the worker at once (the
// character-received event of the second batch), so crossing the cluster size is seen then.
TEST_F(PtyTest, BytesArrivingWhileOthersWaitWakeTheWorker) {
    port->SetClusterSize(96);
    port->SetRTOCharDelayTime(190);
    port->SetRTOExtraDelayTime(2000);  // the first batch waits for the cluster size
    Open(pty.SlavePath());
    pty.Send(std::string(50, 'a'));
    ASSERT_TRUE(ServeUntil([&] { return port->CommStateInQueue() == 50; }));
    ServeFor(milliseconds(200));  // the worker is back in its wait on the line
    pty.Send(std::string(50, 'b'));
    EXPECT_TRUE(ServeUntil([&] { return rec->Count("RxChar") >= 2; }, milliseconds(1500)))
        << "the second batch raised no character-received event";
    ASSERT_TRUE(ServeUntil([&] { return rec->Received().size() == 100; }, milliseconds(1500)));
    EXPECT_EQ(rec->clusters.size(), 1u) << "the cluster size was crossed: one cluster of 100";
}

// A handler may clear its own event from inside itself.
TEST_F(PtyTest, HandlerMayClearItsOwnEvent) {
    Open(pty.SlavePath());
    std::string seen;
    const std::string tail(64, 't');  // captured by value: freed with the handler if it were run
    port->OnRxClusterEvent = [&, tail](TSerialPortNG* sender) {
        sender->OnRxClusterEvent = nullptr;
        seen = sender->TakeClusterText() + tail;
    };
    pty.Send("one");
    ASSERT_TRUE(ServeUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, "one" + tail);
}

TEST_F(PtyTest, HandlerMayDestroyTheComponent) {
    Open(pty.SlavePath());
    // Destroyed inside its own handler: no deadlock, the line is free again afterwards. A
    // watchdog ends a hung run with a failure instead of stalling the whole suite.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !finished; ++i) std::this_thread::sleep_for(milliseconds(100));
        if (!finished) {
            std::fprintf(stderr, "destroying the component inside its handler hung\n");
            std::_Exit(1);
        }
    });
    port->OnRxClusterEvent = [&](TSerialPortNG*) { port.reset(); };
    pty.Send("two");
    const bool gone = ServeUntil([&] { return port == nullptr; });
    finished = true;
    watchdog.join();
    ASSERT_TRUE(gone);
    ServeFor(milliseconds(100));
    TSerialPortNG again;
    again.SetCommPort(pty.SlavePath());
    again.SetActive(true);
    EXPECT_TRUE(again.Active());
}

// Closing waits for the worker only: calls handed over by others (another link's handler, a
// timer tick) stay queued for the event loop instead of running nested inside the closing.
TEST_F(PtyTest, ClosingDoesNotRunOtherQueuedCalls) {
    Open(pty.SlavePath());
    ServeFor(milliseconds(100));  // the worker is in its active loop
    bool ran = false;
    PostToMainThread([&] { ran = true; });
    port->SetActive(false);
    EXPECT_FALSE(ran);
    ServeMainThreadCalls();
    EXPECT_TRUE(ran);
}

// Every line setting is either applied (its effect shows on the line) or refused with a
// warning that names it; none is accepted in silence.
TEST_F(PtyTest, SettingsAreAppliedOrRefused) {
    constexpr std::int32_t kOutX = 0x100, kInX = 0x200, kTxContinue = 0x80, kDtrHandshake = 0x20, kDsrHandshake = 0x8;
    struct Case {
        const char* legend;
        std::function<void(TSerialPortNG&)> set;
        std::string send;  // from the far end
        std::function<bool(TSerialPortNG&, SerialRecorder&, PtyPair&)> check;
    };
    auto termiosHas = [](PtyPair& p, tcflag_t iflag) {
        termios t{};
        return tcgetattr(p.MasterFd(), &t) == 0 && (t.c_iflag & iflag) == iflag;
    };
    auto warned = [](SerialRecorder& r, const char* what) {
        for (const auto& e : r.reports)
            if (e.place == 803 && e.noise == 1 && e.msg.find(what) != std::string::npos) return true;
        return false;
    };
    const Case cases[] = {
        {"event character raises its event", [](TSerialPortNG& p) { p.SetEventChar('\n'); }, std::string("a\0b\n", 4),
         [](TSerialPortNG&, SerialRecorder& r, PtyPair&) { return r.Count("RxEventChar") >= 1; }},
        {"NUL bytes are stripped", [](TSerialPortNG& p) { p.SetStripNullChars(true); }, std::string("a\0b", 3),
         [](TSerialPortNG&, SerialRecorder& r, PtyPair&) { return r.Received() == "ab"; }},
        {"XON/XOFF handshake", [](TSerialPortNG& p) { p.SetFlowControl(kOutX | kInX | kTxContinue); }, "",
         [&](TSerialPortNG&, SerialRecorder&, PtyPair& p) { return termiosHas(p, IXON | IXOFF); }},
        {"parity errors replaced by NUL",
         [](TSerialPortNG& p) {
             p.SetParityType(2);
             p.SetParityErrorReplacement(true);
         },
         "", [&](TSerialPortNG&, SerialRecorder&, PtyPair& p) { return termiosHas(p, INPCK); }},
        {"parity errors replaced by '?' is refused",
         [](TSerialPortNG& p) {
             p.SetParityErrorChar('?');
             p.SetParityErrorReplacement(true);
         },
         "", [&](TSerialPortNG&, SerialRecorder& r, PtyPair&) { return warned(r, "parity error"); }},
        {"DTR handshake is refused", [](TSerialPortNG& p) { p.SetFlowControl(kDtrHandshake); }, "",
         [&](TSerialPortNG&, SerialRecorder& r, PtyPair&) { return warned(r, "DTR handshake"); }},
        {"DSR handshake holds output while DSR is low",
         [](TSerialPortNG& p) {
             p.SetWTOExtraDelayTime(50);
             p.SetFlowControl(kDsrHandshake);
             p.SendText("held");
         },
         "",
         [](TSerialPortNG&, SerialRecorder& r, PtyPair&) {
             return r.HasReport(9701, "Error write TimeOut") && r.Count("WriteDone") == 1;
         }},
        {"the receive queue size bounds what waits",
         [](TSerialPortNG& p) {
             p.SetActive(false);
             p.SetRxQueueSize(16);
             p.SetClusterSize(4096);
             p.SetRTOExtraDelayTime(200);
             p.SetActive(true);
         },
         std::string(40, 'q'),
         [](TSerialPortNG&, SerialRecorder& r, PtyPair&) {
             if (r.Received().size() != 40) return false;
             for (const auto& c : r.clusters)
                 if (c.size() > 16) return false;
             return true;
         }},
    };
    for (const Case& c : cases) {
        PtyPair far;
        ASSERT_TRUE(far.Ok());
        TSerialPortNG line;
        SerialRecorder r(line);
        line.SetCommPort(far.SlavePath());
        line.SetActive(true);
        ASSERT_TRUE(line.Active()) << c.legend;
        c.set(line);
        if (!c.send.empty()) far.Send(c.send);
        EXPECT_TRUE(ServeUntil([&] { return c.check(line, r, far); }, milliseconds(1500))) << c.legend;
        line.SetActive(false);
    }
}

}  // namespace
}  // namespace sincrovia
