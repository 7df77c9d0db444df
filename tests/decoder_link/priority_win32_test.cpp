// Priorities on Windows: the links' process priority classes and the worker threads' levels
// are the system's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "decoder_link/ProcessPriority.h"
#include "serial/ThreadPriority.h"

namespace sincrovia {
namespace {

class ProcessPriorityTest : public ::testing::Test {
protected:
    void TearDown() override { ::SetPriorityClass(::GetCurrentProcess(), NORMAL_PRIORITY_CLASS); }
};

TEST_F(ProcessPriorityTest, ClassesAreTheSystemsOwn) {
    const struct {
        const char* legend;
        int setting;
        DWORD want;
        DWORD alsoAccepted;  // what the system may grant instead
    } cases[] = {
        {"0 idle", kPriorityIdle, IDLE_PRIORITY_CLASS, IDLE_PRIORITY_CLASS},
        {"1 normal", kPriorityNormal, NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
        {"2 high, the links' default", kPriorityHigh, HIGH_PRIORITY_CLASS, HIGH_PRIORITY_CLASS},
        // Without the privilege for it, the system grants high and still answers success.
        {"3 real time", kPriorityRealTime, REALTIME_PRIORITY_CLASS, HIGH_PRIORITY_CLASS},
        {"an unknown value counts as normal", 7, NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
        {"a negative value counts as normal", -1, NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
    };
    for (const auto& c : cases) {
        ::SetPriorityClass(::GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS);
        std::string error;
        EXPECT_TRUE(SetProcessPriorityClass(c.setting, error)) << c.legend << ": " << error;
        const DWORD now = ::GetPriorityClass(::GetCurrentProcess());
        EXPECT_TRUE(now == c.want || now == c.alsoAccepted) << c.legend << ": " << now;
    }
}

TEST(ThreadPriorityTest, LevelsAreTheSystemsOwn) {
    const struct {
        const char* legend;
        TThreadPriority priority;
        int want;
    } cases[] = {
        {"idle", TThreadPriority::tpIdle, THREAD_PRIORITY_IDLE},
        {"lowest", TThreadPriority::tpLowest, THREAD_PRIORITY_LOWEST},
        {"lower", TThreadPriority::tpLower, THREAD_PRIORITY_BELOW_NORMAL},
        {"normal", TThreadPriority::tpNormal, THREAD_PRIORITY_NORMAL},
        {"higher", TThreadPriority::tpHigher, THREAD_PRIORITY_ABOVE_NORMAL},
        {"highest", TThreadPriority::tpHighest, THREAD_PRIORITY_HIGHEST},
        {"time critical", TThreadPriority::tpTimeCritical, THREAD_PRIORITY_TIME_CRITICAL},
    };
    // A worker thread of its own, given its levels from this (another) thread.
    std::atomic<ThreadSchedulingId> id{0};
    std::atomic<bool> stop{false};
    HANDLE self = nullptr;
    std::thread worker([&] {
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &self,
                          THREAD_QUERY_INFORMATION, FALSE, 0);
        id = CurrentThreadSchedulingId();
        while (!stop) std::this_thread::yield();
    });
    while (id == 0) std::this_thread::yield();
    EXPECT_EQ(id.load(), static_cast<ThreadSchedulingId>(::GetThreadId(self)));
    for (const auto& c : cases) {
        EXPECT_TRUE(ApplyThreadPriority(id, c.priority)) << c.legend;
        EXPECT_EQ(::GetThreadPriority(self), c.want) << c.legend;
    }
    stop = true;
    worker.join();
    ::CloseHandle(self);
}

TEST(ThreadPriorityTest, NoThreadIsRefused) {
    EXPECT_FALSE(ApplyThreadPriority(0, TThreadPriority::tpHigher));
    EXPECT_FALSE(ApplyThreadPriority(-5, TThreadPriority::tpHigher));
}

}  // namespace
}  // namespace sincrovia
