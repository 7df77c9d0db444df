// The main-thread hand-over: order of calls, serving from nested waits and joins, exceptions,
// shutdown and the wake-up hook. Each test makes the test thread the main thread afresh.
#include "util/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sincrovia {
namespace {

using namespace std::chrono_literals;

// Generous bound for anything that should happen "soon" on a loaded machine.
constexpr auto kPatience = 20s;

// Serves the hand-over until done() holds or patience runs out; true if done() held.
bool ServeUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        WaitAndServeMainThreadCalls(10ms);
    }
    return true;
}

class MainThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetMainThread();
        SetMainThread();
    }
    void TearDown() override {
        SetMainThreadWakeup(nullptr);
        ResetMainThread();
    }
};

// --- Order of calls handed over by one background thread -------------------------------------

struct OrderCase {
    const char* legend;
    std::string script;  // 'p' = post, 'r' = run and wait; each call records its index
};

TEST_F(MainThreadTest, CallsOfOneThreadRunInTheOrderHandedOver) {
    const OrderCase cases[] = {
        {"single synchronous call", "r"},
        {"posted calls before a synchronous one", "ppr"},
        {"synchronous calls back to back", "rrrr"},
        {"mixed, ending with a post that is served later", "prpprp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::vector<int> order;  // touched on the main thread only
        std::atomic<bool> workerDone{false};
        std::thread worker([&] {
            for (size_t i = 0; i < c.script.size(); ++i) {
                const int index = static_cast<int>(i);
                if (c.script[i] == 'p') {
                    PostToMainThread([&order, index] { order.push_back(index); });
                } else {
                    EXPECT_TRUE(RunOnMainThread([&order, index] { order.push_back(index); }));
                }
            }
            workerDone = true;
        });
        ASSERT_TRUE(ServeUntil([&] { return workerDone.load(); }));
        worker.join();
        ServeMainThreadCalls();  // a trailing post
        std::vector<int> expected;
        for (size_t i = 0; i < c.script.size(); ++i) expected.push_back(static_cast<int>(i));
        EXPECT_EQ(order, expected);
    }
}

// Several threads at once: every call runs exactly once, one at a time, each thread's calls in
// its own order, and the data they touch on the main thread needs no lock of its own.
TEST_F(MainThreadTest, ManyThreadsCallsAreSerialisedAndKeepPerThreadOrder) {
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 200;
    int total = 0;                                 // main thread only
    std::vector<std::vector<int>> seen(kThreads);  // main thread only
    std::atomic<int> finishedThreads{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                RunOnMainThread([&, t, i] {
                    ++total;
                    seen[static_cast<size_t>(t)].push_back(i);
                });
            }
            ++finishedThreads;
        });
    }
    ASSERT_TRUE(ServeUntil([&] { return finishedThreads.load() == kThreads; }));
    for (auto& w : workers) w.join();
    EXPECT_EQ(total, kThreads * kCallsPerThread);
    for (int t = 0; t < kThreads; ++t) {
        const auto& s = seen[static_cast<size_t>(t)];
        ASSERT_EQ(s.size(), static_cast<size_t>(kCallsPerThread));
        for (int i = 0; i < kCallsPerThread; ++i) EXPECT_EQ(s[static_cast<size_t>(i)], i);
    }
}

// --- Calls on the main thread itself -----------------------------------------------------------

TEST_F(MainThreadTest, RunOnTheMainThreadRunsAtOnceAndPostWaitsForServing) {
    std::vector<std::string> log;
    PostToMainThread([&] { log.push_back("posted"); });
    EXPECT_TRUE(RunOnMainThread([&] { log.push_back("direct"); }));
    EXPECT_EQ(log, (std::vector<std::string>{"direct"}));
    EXPECT_EQ(ServeMainThreadCalls(), 1);
    EXPECT_EQ(log, (std::vector<std::string>{"direct", "posted"}));
    EXPECT_EQ(ServeMainThreadCalls(), 0);
}

// A call that posts itself again must not keep one serving busy forever.
TEST_F(MainThreadTest, ServingRunsOnlyWhatWasQueuedWhenItStarted) {
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        PostToMainThread(again);
    };
    PostToMainThread(again);
    EXPECT_EQ(ServeMainThreadCalls(), 1);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ServeMainThreadCalls(), 1);
    EXPECT_EQ(runs, 2);
    ResetMainThread();  // drops the pending repost before `again` goes out of scope
}

TEST_F(MainThreadTest, OnlyTheMainThreadServes) {
    PostToMainThread([] {});
    int servedByWorker = -1;
    bool waitedByWorker = true;
    std::thread worker([&] {
        servedByWorker = ServeMainThreadCalls();
        waitedByWorker = WaitAndServeMainThreadCalls(1ms);
        EXPECT_FALSE(IsMainThread());
    });
    worker.join();
    EXPECT_EQ(servedByWorker, 0);
    EXPECT_FALSE(waitedByWorker);
    EXPECT_TRUE(IsMainThread());
    EXPECT_EQ(ServeMainThreadCalls(), 1);
}

// --- Nesting: a served call that pumps serves the calls queued meanwhile ----------------------

TEST_F(MainThreadTest, ACallThatWaitsAndServesRunsLaterCallsNestedInsideIt) {
    std::vector<std::string> log;  // main thread only
    bool secondRan = false;        // main thread only
    std::thread second;
    std::atomic<bool> firstReturned{false};
    std::thread first([&] {
        RunOnMainThread([&] {
            log.push_back("first begins");
            // Hands a second call over while the first still runs, then pumps for it.
            second = std::thread([&] {
                RunOnMainThread([&] {
                    log.push_back("second");
                    secondRan = true;
                });
            });
            EXPECT_TRUE(ServeUntil([&] { return secondRan; }));
            log.push_back("first ends");
        });
        firstReturned = true;
    });
    ASSERT_TRUE(ServeUntil([&] { return firstReturned.load(); }));
    first.join();
    second.join();
    EXPECT_EQ(log, (std::vector<std::string>{"first begins", "second", "first ends"}));
}

// --- JoinServing -------------------------------------------------------------------------------

struct JoinCase {
    const char* legend;
    int calls;          // synchronous calls the thread makes before it ends
    bool pauseBetween;  // the thread sleeps between calls
};

TEST_F(MainThreadTest, JoinServingServesTheJoinedThreadsCalls) {
    const JoinCase cases[] = {
        {"thread that hands nothing over", 0, false},
        {"thread blocked in one call when the join starts", 1, false},
        {"thread making several calls", 5, false},
        {"thread making calls with pauses between them", 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        int ran = 0;
        std::thread worker([&] {
            for (int i = 0; i < c.calls; ++i) {
                if (c.pauseBetween) std::this_thread::sleep_for(5ms);
                EXPECT_TRUE(RunOnMainThread([&] { ++ran; }));
            }
        });
        JoinServing(worker);
        EXPECT_FALSE(worker.joinable());
        EXPECT_EQ(ran, c.calls);
    }
}

TEST_F(MainThreadTest, JoinServingFromABackgroundThreadJoinsPlainly) {
    std::atomic<bool> ran{false};
    std::thread outer([&] {
        std::thread inner([&] { ran = true; });
        JoinServing(inner);
        EXPECT_FALSE(inner.joinable());
    });
    outer.join();
    EXPECT_TRUE(ran);
}

// --- Exceptions --------------------------------------------------------------------------------

TEST_F(MainThreadTest, ExceptionOfASynchronousCallReachesTheCaller) {
    std::atomic<bool> caught{false};
    std::thread worker([&] {
        try {
            RunOnMainThread([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            caught = std::string(e.what()) == "handler failed";
        }
    });
    JoinServing(worker);
    EXPECT_TRUE(caught);
}

TEST_F(MainThreadTest, ExceptionOfAPostedCallIsSwallowedAndServingGoesOn) {
    int after = 0;
    PostToMainThread([] { throw std::runtime_error("posted failure"); });
    PostToMainThread([&] { ++after; });
    EXPECT_NO_THROW(EXPECT_EQ(ServeMainThreadCalls(), 2));
    EXPECT_EQ(after, 1);
}

// --- Shutdown ----------------------------------------------------------------------------------

TEST_F(MainThreadTest, ShutdownReleasesAWaitingCallerWithoutRunningItsCall) {
    std::atomic<bool> queued{false};
    SetMainThreadWakeup([&] { queued = true; });
    std::atomic<bool> ran{false};
    std::atomic<int> result{-1};
    std::thread worker([&] { result = RunOnMainThread([&] { ran = true; }) ? 1 : 0; });
    // The main thread never serves: the worker stays blocked until the shutdown.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!queued && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(queued);
    EXPECT_EQ(result, -1);
    ShutdownMainThreadCalls();
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(MainThreadCallsShutDown());
}

struct AfterShutdownCase {
    const char* legend;
    bool fromMainThread;
    bool synchronous;
};

TEST_F(MainThreadTest, AfterShutdownNothingIsHandedOver) {
    const AfterShutdownCase cases[] = {
        {"synchronous call from a background thread", false, true},
        {"posted call from a background thread", false, false},
        {"synchronous call on the main thread", true, true},
        {"posted call on the main thread", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        ResetMainThread();
        SetMainThread();
        ShutdownMainThreadCalls();
        std::atomic<bool> ran{false};
        bool returned = true;
        auto handOver = [&] {
            if (c.synchronous) {
                returned = RunOnMainThread([&] { ran = true; });
            } else {
                PostToMainThread([&] { ran = true; });
            }
        };
        if (c.fromMainThread) {
            handOver();
        } else {
            std::thread worker(handOver);
            worker.join();
        }
        EXPECT_EQ(ServeMainThreadCalls(), 0);
        EXPECT_FALSE(ran);
        if (c.synchronous) {
            EXPECT_FALSE(returned);
        }
    }
}

// A pumping loop after shutdown must still sleep in its waits rather than spin.
TEST_F(MainThreadTest, WaitingAfterShutdownStillWaits) {
    constexpr auto kWait = 50ms;
    ShutdownMainThreadCalls();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitAndServeMainThreadCalls(kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - start, kWait);
}

TEST_F(MainThreadTest, ResetReopensAfterShutdown) {
    ShutdownMainThreadCalls();
    ResetMainThread();
    EXPECT_FALSE(MainThreadCallsShutDown());
    EXPECT_FALSE(IsMainThread());
    SetMainThread();
    EXPECT_TRUE(IsMainThread());
    bool ran = false;
    EXPECT_TRUE(RunOnMainThread([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

// A call handed over before any main thread exists waits for one.
TEST_F(MainThreadTest, ACallMadeBeforeTheMainThreadIsSetRunsOnceItIs) {
    ResetMainThread();
    bool ran = false;  // written on the main thread, read after the join
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        EXPECT_TRUE(RunOnMainThread([&] { ran = true; }));
        returned = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned);
    SetMainThread();
    JoinServing(worker);
    EXPECT_TRUE(ran);
}

// --- Wake-up hook ------------------------------------------------------------------------------

TEST_F(MainThreadTest, WakeupIsCalledForEveryQueuedCallUntilRemoved) {
    std::atomic<int> wakeups{0};
    SetMainThreadWakeup([&] { ++wakeups; });
    PostToMainThread([] {});
    std::thread worker([] {
        PostToMainThread([] {});
        RunOnMainThread([] {});
    });
    JoinServing(worker);
    EXPECT_EQ(wakeups, 3);
    RunOnMainThread([] {});  // runs directly: nothing queued, no wake-up
    EXPECT_EQ(wakeups, 3);
    SetMainThreadWakeup(nullptr);
    PostToMainThread([] {});
    EXPECT_EQ(wakeups, 3);
    ServeMainThreadCalls();
}

TEST_F(MainThreadTest, WaitAndServeReturnsWhenACallArrivesOrTheTimeoutPasses) {
    EXPECT_FALSE(WaitAndServeMainThreadCalls(5ms));
    std::atomic<bool> ran{false};
    std::thread worker([&] { RunOnMainThread([&] { ran = true; }); });
    // A long timeout: the call's arrival, not the timeout, ends the wait.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WaitAndServeMainThreadCalls(std::chrono::duration_cast<std::chrono::milliseconds>(kPatience)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPatience);
    worker.join();
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace sincrovia
