// The worker thread over the scripted platform: the cluster rule, event dispatch and its
// order, status polls, write completion and watchdog, quiet mode, closing and destruction,
// and every reporting place of the worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>

#include "SerialNGTestSupport.h"
#include "serial/SerialNG.h"
#include "serial/SerialPlaces.h"
#include "serial/SerialPlatformFake.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

using serialtest::SerialRecorder;
using serialtest::ServeFor;
using serialtest::ServeUntil;
using Call = SerialPlatformFake::Call;
using std::chrono::milliseconds;

class WorkerTest : public ::testing::Test {
public:
    void SetUp() override {
        SetMainThread();
        fake->AddPort("COM9");
        Make();
    }
    void Make() {
        rec.reset();
        port.reset();
        port = std::make_unique<TSerialPortNG>(fake);
        rec = std::make_unique<SerialRecorder>(*port);
    }
    // Opens the line and waits until the worker is in its active loop.
    void Open() {
        port->SetCommPort("COM9");
        port->SetActive(true);
        ASSERT_TRUE(port->Active());
        const auto calls = fake->WaitCalls();
        ASSERT_TRUE(ServeUntil([&] { return fake->WaitCalls() > calls; }));
        rec->Clear();
    }
    std::shared_ptr<SerialPlatformFake> fake = std::make_shared<SerialPlatformFake>();
    std::unique_ptr<TSerialPortNG> port;
    std::unique_ptr<SerialRecorder> rec;
};

TEST_F(WorkerTest, ClusterRule) {
    struct Case {
        const char* legend;
        std::size_t bytes;
        std::uint16_t extraMs;        // RTOExtraDelayTime
        std::size_t expectedCluster;  // size of the single cluster
    };
    // ClusterSize 96 and 190 us per character throughout.
    const Case cases[] = {
        {"20 bytes are read once their 7.8 ms have passed", 20, 4, 20},
        {"96 bytes are read at once whatever their age", 96, 60000, 96},
        {"300 waiting bytes make one cluster of 300", 300, 60000, 300},
        {"95 bytes with a long extra delay are one cluster after it", 95, 300, 95},
    };
    for (const Case& c : cases) {
        Make();
        port->SetClusterSize(96);
        port->SetRTOCharDelayTime(190);
        port->SetRTOExtraDelayTime(c.extraMs);
        Open();
        fake->Receive(std::string(c.bytes, 'x'));
        ASSERT_TRUE(ServeUntil([&] { return !rec->clusters.empty(); })) << c.legend;
        ServeFor(milliseconds(50));
        ASSERT_EQ(rec->clusters.size(), 1u) << c.legend;
        EXPECT_EQ(rec->clusters[0].size(), c.expectedCluster) << c.legend;
    }
}

TEST_F(WorkerTest, WaitIsTimedToTheClusterLimitWhileBytesWait) {
    // The tick stands still, so the bytes stay exactly as old as when they arrived until the
    // test moves it past their limit.
    struct Case {
        const char* legend;
        std::uint16_t extraMs;
        std::uint32_t expectedWait;  // ms, shortest wait while the bytes wait
    };
    const Case cases[] = {
        {"20 bytes due after 7.8 ms: waits of 8 ms, not of 75", 4, 8},
        {"a limit beyond the pass time keeps the usual 75 ms", 200, 75},
    };
    for (const Case& c : cases) {
        Make();
        port->SetClusterSize(96);
        port->SetRTOCharDelayTime(190);
        port->SetRTOExtraDelayTime(c.extraMs);
        fake->FreezeTick(1000);
        Open();
        ServeFor(milliseconds(100));  // a pass sees the queue empty at tick 1000
        fake->TakeShortestWaitTimeout();
        fake->Receive(std::string(20, 'r'));
        ServeFor(milliseconds(200));
        EXPECT_TRUE(rec->clusters.empty()) << c.legend << ": not due while the tick stands";
        EXPECT_EQ(fake->TakeShortestWaitTimeout(), c.expectedWait) << c.legend;
        fake->AdvanceTick(c.extraMs + 4u);
        ASSERT_TRUE(ServeUntil([&] { return !rec->clusters.empty(); })) << c.legend;
        EXPECT_EQ(rec->clusters[0].size(), 20u) << c.legend;
    }
}

TEST_F(WorkerTest, BytesWaitForTheirLimitUnlessReadRequested) {
    port->SetRTOExtraDelayTime(60000);
    Open();
    fake->Receive("abc");
    ServeFor(milliseconds(300));
    EXPECT_TRUE(rec->clusters.empty()) << "3 bytes are younger than 60 s";
    EXPECT_EQ(port->CommStateInQueue(), 3u);
    port->SetReadRequest(true);
    ASSERT_TRUE(ServeUntil([&] { return !rec->clusters.empty(); }));
    EXPECT_EQ(rec->clusters[0], "abc");
    EXPECT_FALSE(port->ReadRequest()) << "cleared by the read";
}

TEST_F(WorkerTest, EventsAreDispatchedInOrder) {
    Open();
    fake->RaiseEvents(kEvAll);
    ASSERT_TRUE(ServeUntil([&] { return rec->Count("Comm") == 1; }));
    std::vector<std::string> dispatched;
    for (const std::string& e : rec->events)
        if (e != "CommStat") dispatched.push_back(e);
    const std::vector<std::string> order = {"Break", "CTS",    "DSR",         "LineError", "Ring",
                                            "RLSD",  "RxChar", "RxEventChar", "TxEmpty",   "Comm"};
    EXPECT_EQ(dispatched, order);
    EXPECT_EQ(port->CommEvent(), kEvAll);
}

TEST_F(WorkerTest, LineErrorShowsTwiceInStatusAndIsNotSeenByTheReadStep) {
    port->SetRTOExtraDelayTime(60000);
    Open();
    fake->RaiseLineError(kLineErrFraming);
    ASSERT_TRUE(ServeUntil([&] { return rec->Count("Comm") == 1; }));
    EXPECT_EQ(rec->Count("LineError"), 1);
    EXPECT_EQ(rec->Count("CommStat"), 2) << "once with the error bits, once cleared";
    EXPECT_EQ(port->CommError(), 0u);
}

TEST_F(WorkerTest, ModemInputsAndRing) {
    struct Case {
        const char* legend;
        std::int32_t platformId;
        std::vector<std::string> onRingDrop;  // events when RING goes low after being high
    };
    const Case cases[] = {
        {"other systems: only the RI event", 2, {"RI"}},
        {"old consumer family: RI, then a ring dispatch", 1, {"RI", "Ring", "Comm"}},
    };
    for (const Case& c : cases) {
        fake->SetPlatformId(c.platformId);
        fake->SetModemStatus(0);
        Make();
        Open();
        fake->SetModemStatus(kModemCtsOn | kModemRingOn);
        ASSERT_TRUE(ServeUntil([&] { return port->CTSState(); })) << c.legend;
        EXPECT_TRUE(port->RingState()) << c.legend;
        EXPECT_EQ(port->ModemState(), kModemCtsOn | kModemRingOn) << c.legend;
        // The worker publishes the new state before it hands over the rising edge's events:
        // let those arrive before recording the falling edge.
        ServeFor(milliseconds(100));
        rec->Clear();
        fake->SetModemStatus(kModemCtsOn);
        ASSERT_TRUE(ServeUntil([&] { return !port->RingState(); })) << c.legend;
        ServeFor(milliseconds(100));
        std::vector<std::string> got;
        for (const std::string& e : rec->events)
            if (e != "CommStat") got.push_back(e);
        EXPECT_EQ(got, c.onRingDrop) << c.legend;
    }
}

TEST_F(WorkerTest, PendingWriteCompletes) {
    struct Case {
        const char* legend;
        std::uint32_t written;
        bool shortReport;
    };
    const Case cases[] = {
        {"complete write: only OnWriteDone", 6, false},
        {"write ended short by its time limit: 9701 then OnWriteDone", 2, true},
    };
    for (const Case& c : cases) {
        Make();
        Open();
        fake->SetWritesPending(true);
        port->SendText("sixsix");
        ASSERT_TRUE(port->SendInProgress());
        fake->FinishWrite(c.written);
        ASSERT_TRUE(ServeUntil([&] { return rec->Count("WriteDone") == 1; })) << c.legend;
        EXPECT_EQ(port->WrittenBytes(), c.written) << c.legend;
        EXPECT_FALSE(port->SendInProgress()) << c.legend;
        EXPECT_EQ(rec->HasReport(9701, "Error write TimeOut"), c.shortReport) << c.legend;
        fake->SetWritesPending(false);
    }
}

TEST_F(WorkerTest, QuietModeQueuesClustersAndDeliversNothing) {
    port->SetClusterSize(1);
    Open();
    port->SetThreadQuietMode(true);
    fake->FailCall(Call::GetModemStatus, 31, SerialPlatformFake::kAlways);
    fake->Receive("q1");
    ASSERT_TRUE(ServeUntil([&] { return port->FirstClusterSize() == 2; }));
    ServeFor(milliseconds(100));
    EXPECT_TRUE(rec->events.empty());
    EXPECT_TRUE(rec->reports.empty()) << "not even the worker's reports";
    EXPECT_EQ(port->TakeClusterText(), "q1");
    fake->ClearFailure(Call::GetModemStatus);
}

TEST_F(WorkerTest, ClosingWithAPendingWaitReturnsPromptly) {
    Open();
    const auto start = std::chrono::steady_clock::now();
    port->SetActive(false);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, milliseconds(1000));
    const auto places = rec->Places();
    EXPECT_EQ(std::count(places.begin(), places.end(), 104u), 0);
    const auto calls = fake->WaitCalls();
    ServeFor(milliseconds(300));
    EXPECT_EQ(fake->WaitCalls(), calls) << "the worker is idle: no more waits";
}

TEST_F(WorkerTest, ClosingFromInsideAHandlerNeitherWaitsNorWarns) {
    struct Case {
        const char* legend;
        bool fromErrorHandler;  // else from OnRxCharEvent
        std::function<void(SerialPlatformFake&)> provoke;
    };
    const Case cases[] = {
        {"from OnRxCharEvent", false, [](SerialPlatformFake& f) { f.Receive("x"); }},
        {"from OnProcessError", true, [](SerialPlatformFake& f) { f.FailCall(Call::ClearError, 5); }},
    };
    for (const Case& c : cases) {
        Make();
        Open();
        std::vector<std::uint32_t> places;  // reported once closing has begun
        bool closed = false;
        std::chrono::steady_clock::duration took{};
        auto close = [&] {
            if (closed) return;
            closed = true;
            const auto start = std::chrono::steady_clock::now();
            port->SetActive(false);
            took = std::chrono::steady_clock::now() - start;
        };
        port->OnProcessError = [&, c](TSerialPortNG*, std::uint32_t place, std::uint32_t, const std::string&,
                                      std::uint8_t) {
            if (closed) places.push_back(place);
            if (c.fromErrorHandler) close();
        };
        if (!c.fromErrorHandler) port->OnRxCharEvent = [&](TSerialPortNG*) { close(); };
        c.provoke(*fake);
        ASSERT_TRUE(ServeUntil([&] { return closed; })) << c.legend;
        ServeFor(milliseconds(200));
        EXPECT_FALSE(port->Active()) << c.legend;
        EXPECT_LT(took, milliseconds(1000)) << c.legend << ": the close did not wait for itself";
        EXPECT_EQ(places, std::vector<std::uint32_t>{100}) << c.legend;
    }
}

TEST_F(WorkerTest, WritePendingAtAQuickCloseStillEnds) {
    fake->SetWritesPending(true);
    port->SetCommPort("COM9");
    port->SetActive(true);
    port->SendText("abc");  // the worker may not have seen the line open yet
    port->SetActive(false);
    ASSERT_TRUE(ServeUntil([&] { return rec->Count("WriteDone") == 1; }));
    EXPECT_FALSE(port->SendInProgress());
    EXPECT_TRUE(rec->HasReport(9702, "Error getting Overlapped Result")) << "aborted by the purge";
}

TEST_F(WorkerTest, DestructionWhileOpenDeliversNoMoreClusters) {
    port->SetClusterSize(1);
    Open();
    port->OnRxClusterEvent = [&](TSerialPortNG*) { rec->events.emplace_back("RxCluster"); };
    fake->Receive("left in the queue");
    ASSERT_TRUE(ServeUntil([&] { return port->FirstClusterSize() > 0; }));
    const auto before = rec->Count("RxCluster");
    port->SetThreadQuietMode(false);
    fake->Receive("more");
    port.reset();  // clusters not taken are freed with the component
    EXPECT_FALSE(fake->IsOpen());
    ServeFor(milliseconds(50));
    EXPECT_LE(rec->Count("RxCluster"), before + 1);
}

// Every place of the worker's table, provoked through the platform: each reported with its
// number, message and noise.
TEST_F(WorkerTest, EveryPlaceIsReported) {
    struct Case {
        const char* legend;
        std::function<void(SerialPlatformFake&)> script;  // before the action
        std::function<void(WorkerTest&)> act;
        SerialPlace where;
        std::uint32_t code;
    };
    auto receive = [](WorkerTest& t) {
        t.port->SetReadRequest(true);
        t.fake->Receive("data");
    };
    auto send = [](WorkerTest& t) { t.port->SendText("data"); };
    auto nothing = [](WorkerTest&) {};
    auto close = [](WorkerTest& t) { t.port->SetActive(false); };
    const Case cases[] = {
        {"modem status", [](auto& f) { f.FailCall(Call::GetModemStatus, 31); }, nothing, SerialPlace::ModemStatus, 31},
        {"line status", [](auto& f) { f.FailCall(Call::ClearError, 31); }, nothing, SerialPlace::LineStatus, 31},
        {"read start", [](auto& f) { f.FailCall(Call::Read, 31); }, receive, SerialPlace::ReadStart, 31},
        {"event wait start", [](auto& f) { f.FailCall(Call::WaitEvent, 31); },
         [](WorkerTest& t) { t.fake->RaiseEvents(kEvCts); }, SerialPlace::EventWaitStart, 31},
        {"pending read aborted by closing", [](auto& f) { f.SetReadsPending(true); },
         [](WorkerTest& t) {
             t.port->SetReadRequest(true);
             t.fake->Receive("data");
             ServeUntil([&] { return t.fake->HasPendingRead(); });
             t.port->SetActive(false);
         },
         SerialPlace::ReadAborted, kSysOperationAborted},
        {"pending read result",
         [](auto& f) {
             f.SetReadsPending(true);
             f.FailCall(Call::ResultRead, 31);
         },
         [](WorkerTest& t) {
             t.port->SetReadRequest(true);
             t.fake->Receive("data");
             ServeUntil([&] { return t.fake->HasPendingRead(); });
             t.fake->FinishRead();
         },
         SerialPlace::ReadResult, 31},
        {"two-object wait", [](auto& f) { f.SetReadsPending(true); },
         [](WorkerTest& t) {
             t.port->SetReadRequest(true);
             t.fake->Receive("data");
             ServeUntil([&] { return t.fake->HasPendingRead(); });
             t.fake->FailCall(Call::WaitForEvents, kWaitFailed);
         },
         SerialPlace::ReadAndEventWait, kWaitFailed},
        {"read-only wait", [](auto& f) { f.SetReadsPending(true); },
         [](WorkerTest& t) {
             t.fake->FailCall(Call::WaitEvent, 31, SerialPlatformFake::kAlways);
             t.fake->RaiseEvents(kEvCts);  // ends the pending wait; no new one starts
             t.port->SetReadRequest(true);
             t.fake->Receive("data");
             ServeUntil([&] { return t.fake->HasPendingRead(); });
             t.fake->FailCall(Call::WaitForEvents, 1234);
         },
         SerialPlace::ReadWait, 1234},
        {"event-only wait", [](auto& f) { f.FailCall(Call::WaitForEvents, 4321); }, nothing, SerialPlace::EventWait,
         4321},
        {"write watchdog",
         [](auto& f) {
             f.SetWritesPending(true);
             f.FailCall(Call::ResultWrite, kSysIoPending, SerialPlatformFake::kAlways);
         },
         send, SerialPlace::WriteTimedOut, kSysIoPending},
        {"write result",
         [](auto& f) {
             f.SetWritesPending(true);
             f.FailCall(Call::ResultWrite, 31);
         },
         send, SerialPlace::WriteResult, 31},
        {"signalling the wait record when closing left the wait pending",
         [](auto& f) {
             f.FailCall(Call::SetEventMask, 31);  // closing's mask 0 fails: the worker ends it
             f.FailCall(Call::SetEvent, 31);
         },
         close, SerialPlace::WorkerEventReset, 31},
    };
    // The lost line is told by the pty test: a fake line cannot be unplugged.
    for (const SerialPlaceRow& row : kSerialPlaces) {
        if (row.reporter != SerialReporter::Worker || row.id == SerialPlace::LineLost) continue;
        EXPECT_TRUE(std::any_of(std::begin(cases), std::end(cases), [&](const Case& c) { return c.where == row.id; }))
            << "no case provokes place " << row.place << " \"" << row.message << "\"";
    }
    for (const Case& c : cases) {
        const SerialPlaceRow& row = PlaceRow(c.where);
        Make();
        port->SetWTOExtraDelayTime(1);
        port->SetWTOCharDelayTime(1);
        Open();
        c.script(*fake);
        c.act(*this);
        const bool found = ServeUntil([&] {
            return std::any_of(rec->reports.begin(), rec->reports.end(), [&](auto& r) {
                return r.place == row.place && r.msg == row.message && r.code == c.code && r.noise == row.noise;
            });
        });
        EXPECT_TRUE(found) << c.legend;
        for (Call call : {Call::GetModemStatus, Call::ClearError, Call::Read, Call::WaitEvent, Call::ResultRead,
                          Call::ResultWrite, Call::WaitForEvents, Call::SetEvent, Call::SetEventMask})
            fake->ClearFailure(call);
        fake->SetReadsPending(false);
        fake->SetWritesPending(false);
        if (c.where == SerialPlace::WriteTimedOut || c.where == SerialPlace::WriteResult) {
            EXPECT_TRUE(ServeUntil([&] { return rec->Count("WriteDone") == 1; })) << c.legend;
        }
    }
}

TEST_F(WorkerTest, LastingFaultIsReportedOnceAndDoesNotSpin) {
    Open();
    fake->FailCall(Call::WaitEvent, 5, SerialPlatformFake::kAlways);
    fake->FailCall(Call::ClearError, 5, SerialPlatformFake::kAlways);
    fake->RaiseEvents(kEvCts);  // ends the pending wait; no new one can start
    const auto before = fake->StatusReads();
    ServeFor(milliseconds(500));
    const auto places = rec->Places();
    EXPECT_EQ(std::count(places.begin(), places.end(), 9907u), 1);
    EXPECT_EQ(std::count(places.begin(), places.end(), 9803u), 1);
    // A pass every 75 ms at most reads the status a few times; a spinning loop would read it
    // thousands of times.
    EXPECT_LT(fake->StatusReads() - before, 50u);
    fake->ClearFailure(Call::WaitEvent);
    fake->ClearFailure(Call::ClearError);
    port->SetActive(false);
    EXPECT_FALSE(port->Active());
}

}  // namespace
}  // namespace sincrovia
