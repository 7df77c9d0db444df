// The threaded timer: when it ticks and when it must not, how property changes restart the
// timing, dropped and stale ticks, failing handlers, destruction (also from inside its own
// tick) and the thread priority. Bounds are generous; lower bounds carry the rules.
#include "serial/ThdTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "util/MainThread.h"

namespace sincrovia {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous bound for anything that should happen "soon" on a loaded machine.
constexpr auto kPatience = 20s;
// How long a test watches a timer that must stay silent.
constexpr auto kQuietWatch = 300ms;

// Serves the hand-over for `span`.
void ServeFor(std::chrono::milliseconds span) {
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
        WaitAndServeMainThreadCalls(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
    }
}

// Serves the hand-over until done() holds or patience runs out; true if done() held.
bool ServeUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        WaitAndServeMainThreadCalls(10ms);
    }
    return true;
}

class ThreadedTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetMainThread();
        SetMainThread();
        SetMainThreadWakeup([this] { callQueued_ = true; });
    }
    void TearDown() override {
        SetMainThreadWakeup(nullptr);
        ResetMainThread();
    }
    // Waits (without serving) until a call is queued to the main thread, e.g. a tick.
    bool WaitForQueuedCall() {
        const auto deadline = Clock::now() + kPatience;
        while (!callQueued_ && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
        return callQueued_;
    }
    std::atomic<bool> callQueued_{false};
};

TEST_F(ThreadedTimerTest, NewTimerHasTheDocumentedDefaultsAndPropertiesReadBack) {
    TThreadedTimer timer;
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_FALSE(timer.AllowZero());
    EXPECT_EQ(timer.ThreadPriority(), TThreadPriority::tpNormal);
    timer.SetInterval(2050);
    EXPECT_EQ(timer.Interval(), 2050u);
    timer.SetAllowZero(true);
    EXPECT_TRUE(timer.AllowZero());
    timer.SetThreadPriority(TThreadPriority::tpLower);
    EXPECT_EQ(timer.ThreadPriority(), TThreadPriority::tpLower);
}

// --- Which states tick -------------------------------------------------------------------------

struct StateCase {
    const char* legend;
    uint32_t interval;
    bool allowZero;
    bool enable;
    bool ticks;
};

TEST_F(ThreadedTimerTest, TicksOnlyInTheRunningState) {
    const StateCase cases[] = {
        {"never enabled", 20, false, false, false},
        {"enabled with an interval", 20, false, true, true},
        {"enabled, interval 0, zero not allowed: held", 0, false, true, false},
        {"enabled, interval 0, zero allowed: as fast as taken", 0, true, true, true},
        {"zero allowed but never enabled", 0, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        int ticks = 0;
        TThreadedTimer timer;
        timer.OnTimer = [&](void* sender) {
            EXPECT_EQ(sender, &timer);
            EXPECT_TRUE(IsMainThread());
            ++ticks;
        };
        timer.SetInterval(c.interval);
        timer.SetAllowZero(c.allowZero);
        timer.SetEnabled(c.enable);
        EXPECT_EQ(timer.Enabled(), c.enable);
        if (c.ticks) {
            EXPECT_TRUE(ServeUntil([&] { return ticks >= 3; }));
        } else {
            ServeFor(std::chrono::duration_cast<std::chrono::milliseconds>(kQuietWatch));
            EXPECT_EQ(ticks, 0);
        }
    }
}

struct TransitionCase {
    const char* legend;
    uint32_t interval;
    bool allowZero;
    std::function<void(TThreadedTimer&)> change;
    bool ticksAfter;
};

TEST_F(ThreadedTimerTest, PropertyChangesMoveAnEnabledTimerBetweenHeldAndRunning) {
    const TransitionCase cases[] = {
        {"zero-held, then a non-zero interval: runs", 0, false, [](TThreadedTimer& t) { t.SetInterval(100); }, true},
        {"zero-held, then zero allowed: runs", 0, false, [](TThreadedTimer& t) { t.SetAllowZero(true); }, true},
        {"running at zero, then zero forbidden: held", 0, true, [](TThreadedTimer& t) { t.SetAllowZero(false); },
         false},
        {"running, then interval 0: held", 20, false, [](TThreadedTimer& t) { t.SetInterval(0); }, false},
        {"running, then disabled: silent", 20, false, [](TThreadedTimer& t) { t.SetEnabled(false); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        int ticks = 0;
        TThreadedTimer timer;
        timer.OnTimer = [&](void*) { ++ticks; };
        timer.SetInterval(c.interval);
        timer.SetAllowZero(c.allowZero);
        timer.SetEnabled(true);
        ServeFor(50ms);
        c.change(timer);
        EXPECT_TRUE(timer.Enabled() || !c.ticksAfter);
        ticks = 0;
        if (c.ticksAfter) {
            EXPECT_TRUE(ServeUntil([&] { return ticks >= 2; }));
        } else {
            ServeFor(std::chrono::duration_cast<std::chrono::milliseconds>(kQuietWatch));
            EXPECT_EQ(ticks, 0);
        }
    }
}

// --- Timing of the first tick after a change ---------------------------------------------------

struct RestartCase {
    const char* legend;
    std::function<void(TThreadedTimer&)> change;  // made 600 ms after enabling
    bool restarts;                                // the first tick then comes a full interval after the change
};

TEST_F(ThreadedTimerTest, OnlyRealChangesRestartTheTiming) {
    constexpr auto kInterval = 1000ms;
    constexpr auto kChangeAfter = 600ms;
    // A tick this much later than due still counts as not restarted (a loaded machine).
    constexpr auto kLateness = 500ms;
    const RestartCase cases[] = {
        {"enabling an enabled timer again", [](TThreadedTimer& t) { t.SetEnabled(true); }, false},
        {"setting the same interval again", [](TThreadedTimer& t) { t.SetInterval(1000); }, false},
        {"allowing zero with a non-zero interval", [](TThreadedTimer& t) { t.SetAllowZero(true); }, false},
        {"a new interval", [](TThreadedTimer& t) { t.SetInterval(1001); }, true},
        {"disabling and enabling",
         [](TThreadedTimer& t) {
             t.SetEnabled(false);
             t.SetEnabled(true);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        Clock::time_point firstTick{};
        TThreadedTimer timer;
        timer.OnTimer = [&](void*) {
            if (firstTick == Clock::time_point{}) firstTick = Clock::now();
        };
        timer.SetInterval(static_cast<uint32_t>(kInterval.count()));
        const auto enabledAt = Clock::now();
        timer.SetEnabled(true);
        ServeFor(kChangeAfter);
        // A loaded machine may deliver a non-restarted tick early in this window: still fine
        // for those cases, and no check below depends on the serving stopping exactly here.
        const bool tickedBeforeChange = firstTick != Clock::time_point{};
        const auto changedAt = Clock::now();
        c.change(timer);
        ASSERT_TRUE(ServeUntil([&] { return firstTick != Clock::time_point{}; }));
        EXPECT_GE(firstTick - enabledAt, kInterval);
        if (c.restarts) {
            EXPECT_FALSE(tickedBeforeChange);
            EXPECT_GE(firstTick - changedAt, kInterval);
        } else {
            EXPECT_LT(firstTick - enabledAt, kInterval + kLateness);
        }
    }
}

// Each interval starts when the previous handler has returned: a slow handler or a busy main
// thread delays the following ticks, and no missed ticks are made up in a burst.
TEST_F(ThreadedTimerTest, TicksNeverPileUp) {
    constexpr auto kInterval = 30ms;
    constexpr auto kSlowHandler = 150ms;
    constexpr auto kBusyMainThread = 200ms;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> ticks;  // begin, end
    TThreadedTimer timer;
    timer.OnTimer = [&](void*) {
        const auto begin = Clock::now();
        if (ticks.size() == 1) std::this_thread::sleep_for(kSlowHandler);
        ticks.emplace_back(begin, Clock::now());
    };
    timer.SetInterval(static_cast<uint32_t>(kInterval.count()));
    timer.SetEnabled(true);
    ASSERT_TRUE(ServeUntil([&] { return ticks.size() >= 3; }));
    std::this_thread::sleep_for(kBusyMainThread);  // the main thread does not serve
    const size_t beforeBusy = ticks.size();
    ASSERT_TRUE(ServeUntil([&] { return ticks.size() >= beforeBusy + 4; }));
    timer.SetEnabled(false);
    // At most one tick waited through the busy spell; the others are spaced by the interval.
    EXPECT_LE(ticks.size(), beforeBusy + 4 + 1);
    for (size_t i = 1; i < ticks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(ticks[i].first - ticks[i - 1].second, kInterval - 1ms);
    }
}

TEST_F(ThreadedTimerTest, AFailingHandlerDoesNotStopLaterTicks) {
    int ticks = 0;
    TThreadedTimer timer;
    timer.OnTimer = [&](void*) {
        ++ticks;
        throw std::runtime_error("handler failed");
    };
    timer.SetInterval(10);
    timer.SetEnabled(true);
    EXPECT_TRUE(ServeUntil([&] { return ticks >= 3; }));
}

// --- Ticks already waiting for the main thread -------------------------------------------------

struct PendingTickCase {
    const char* legend;
    std::function<void(TThreadedTimer&)> change;  // made while a tick waits to be served
};

TEST_F(ThreadedTimerTest, ATickWaitingWhenTheTimingRestartsIsDropped) {
    constexpr auto kInterval = 100ms;
    const PendingTickCase cases[] = {
        {"disabled", [](TThreadedTimer& t) { t.SetEnabled(false); }},
        {"disabled and enabled again",
         [](TThreadedTimer& t) {
             t.SetEnabled(false);
             t.SetEnabled(true);
         }},
        {"given a new interval", [](TThreadedTimer& t) { t.SetInterval(101); }},
        {"held at interval 0", [](TThreadedTimer& t) { t.SetInterval(0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        int ticks = 0;
        TThreadedTimer timer;
        timer.OnTimer = [&](void*) { ++ticks; };
        timer.SetInterval(static_cast<uint32_t>(kInterval.count()));
        callQueued_ = false;
        timer.SetEnabled(true);
        ASSERT_TRUE(WaitForQueuedCall());
        const auto changedAt = Clock::now();
        c.change(timer);
        // The waiting tick is served now and must do nothing; a restarted timer may tick again
        // only a full interval after the change.
        ServeMainThreadCalls();
        EXPECT_EQ(ticks, 0);
        if (timer.Enabled() && timer.Interval() > 0) {
            Clock::time_point next{};
            timer.OnTimer = [&](void*) {
                if (next == Clock::time_point{}) next = Clock::now();
            };
            ASSERT_TRUE(ServeUntil([&] { return next != Clock::time_point{}; }));
            EXPECT_GE(next - changedAt, std::chrono::milliseconds(timer.Interval()));
        }
    }
}

// --- Destruction -------------------------------------------------------------------------------

TEST_F(ThreadedTimerTest, DestroyingWhileATickWaitsDeliversNothing) {
    bool ownerAlive = true;  // stands for the owner being torn down around the timer
    int ticksAfterTeardown = 0;
    auto timer = std::make_unique<TThreadedTimer>();
    timer->OnTimer = [&](void*) {
        if (!ownerAlive) ++ticksAfterTeardown;
    };
    timer->SetInterval(10);
    callQueued_ = false;
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitForQueuedCall());
    ownerAlive = false;
    timer.reset();  // joins while serving the waiting tick
    ServeMainThreadCalls();
    EXPECT_EQ(ticksAfterTeardown, 0);
}

TEST_F(ThreadedTimerTest, DestroyingAnIdleOrRunningTimerReturns) {
    for (uint32_t interval : {0u, 1u, 1000u, 4000000000u}) {
        SCOPED_TRACE(interval);
        auto timer = std::make_unique<TThreadedTimer>();
        timer->SetAllowZero(true);
        timer->SetInterval(interval);
        timer->SetEnabled(true);
        ServeFor(20ms);
        const auto start = Clock::now();
        timer.reset();
        EXPECT_LT(Clock::now() - start, kPatience);
    }
}

TEST_F(ThreadedTimerTest, ATimerMayBeDestroyedByItsOwnTick) {
    int ticks = 0;
    auto timer = std::make_unique<TThreadedTimer>();
    timer->OnTimer = [&](void*) {
        ++ticks;
        timer.reset();
    };
    timer->SetInterval(10);
    timer->SetEnabled(true);
    ASSERT_TRUE(ServeUntil([&] { return timer == nullptr; }));
    ServeFor(100ms);
    EXPECT_EQ(ticks, 1);
}

// After the hand-over has shut down (program exit) the timer thread neither ticks nor spins,
// and the timer can still be destroyed.
TEST_F(ThreadedTimerTest, ShutDownHandOverStopsTicksAndDestructionStillReturns) {
    int ticks = 0;
    auto timer = std::make_unique<TThreadedTimer>();
    timer->OnTimer = [&](void*) { ++ticks; };
    timer->SetAllowZero(true);
    timer->SetInterval(0);
    timer->SetEnabled(true);
    ASSERT_TRUE(ServeUntil([&] { return ticks >= 1; }));
    ShutdownMainThreadCalls();
    const int atShutdown = ticks;
    ServeFor(50ms);
    EXPECT_EQ(ticks, atShutdown);
    timer.reset();  // must return although the hand-over refuses everything
    EXPECT_EQ(ticks, atShutdown);
}

// --- Thread priority ---------------------------------------------------------------------------

struct PriorityCase {
    const char* legend;
    TThreadPriority priority;
    int nice;
};

// Lowering a thread's priority is always allowed; raising it may be refused, which must leave
// the thread as it was.
TEST(ThreadPriorityTest, LevelsMapToTheThreadsNiceValue) {
    const PriorityCase cases[] = {
        {"idle", TThreadPriority::tpIdle, 19},
        {"lowest", TThreadPriority::tpLowest, 10},
        {"lower", TThreadPriority::tpLower, 5},
        {"normal", TThreadPriority::tpNormal, 0},
        {"time critical, if permitted", TThreadPriority::tpTimeCritical, -20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::thread probe([&] {
            const ThreadSchedulingId id = CurrentThreadSchedulingId();
            ASSERT_GT(id, 0);
            const int before = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
            const bool applied = ApplyThreadPriority(id, c.priority);
            const int after = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
            if (applied) {
                EXPECT_EQ(after, c.nice);
            } else {
                EXPECT_LT(c.nice, before);  // only a raise may be refused
                EXPECT_EQ(after, before);
            }
        });
        probe.join();
    }
    EXPECT_FALSE(ApplyThreadPriority(0, TThreadPriority::tpIdle));
}

TEST_F(ThreadedTimerTest, ARefusedPriorityKeepsTheTimerTicking) {
    int ticks = 0;
    TThreadedTimer timer;
    timer.OnTimer = [&](void*) { ++ticks; };
    timer.SetThreadPriority(TThreadPriority::tpTimeCritical);
    timer.SetInterval(10);
    timer.SetEnabled(true);
    EXPECT_TRUE(ServeUntil([&] { return ticks >= 2; }));
    timer.SetThreadPriority(TThreadPriority::tpLowest);
    EXPECT_EQ(timer.ThreadPriority(), TThreadPriority::tpLowest);
    ticks = 0;
    EXPECT_TRUE(ServeUntil([&] { return ticks >= 2; }));
}

}  // namespace
}  // namespace sincrovia
