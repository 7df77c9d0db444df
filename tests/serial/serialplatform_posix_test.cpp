// The POSIX backend's manual-reset events. Their state is a flag; the wake-up pipe is written
// only while a wait is registered, so these tests aim at the hand-offs between the flag and
// the pipe: a signal raised during a wait, and a reset after such a signal.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "serial/SerialPlatform.h"

namespace sincrovia {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kShortMs = 30;
constexpr std::uint32_t kLongMs = 5000;
constexpr auto kSetterDelay = milliseconds(50);

class PosixEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (EventHandle& e : events_) ASSERT_EQ(platform_->CreateEvent(&e), kSysOk);
    }
    void TearDown() override {
        for (EventHandle e : events_) platform_->CloseEvent(e);
    }
    // Signals events_[index] from another thread while this thread waits on both events.
    std::uint32_t WaitWhileAnotherThreadSets(std::size_t index) {
        std::thread setter([&] {
            std::this_thread::sleep_for(kSetterDelay);
            platform_->SetEvent(events_[index]);
        });
        const std::uint32_t r = platform_->WaitForEvents(events_, 2, kLongMs);
        setter.join();
        return r;
    }
    std::shared_ptr<SerialPlatform> platform_ = MakeSerialPlatform();
    EventHandle events_[2] = {kNoEvent, kNoEvent};
};

TEST_F(PosixEventsTest, StateFollowsSetAndReset) {
    struct Step {
        const char* legend;
        enum { kSet0, kSet1, kReset0, kReset1 } action;
        std::uint32_t want;  // a zero-time wait on both events afterwards
    };
    const Step steps[] = {
        {"set the second", Step::kSet1, 1},
        {"set the first as well: the lower index wins", Step::kSet0, 0},
        {"set twice stays one signal", Step::kSet0, 0},
        {"reset the first: the second is still set", Step::kReset0, 1},
        {"reset the second: nothing set", Step::kReset1, kWaitTimeout},
        {"reset again is harmless", Step::kReset1, kWaitTimeout},
        {"set after reset", Step::kSet0, 0},
    };
    for (const Step& s : steps) {
        switch (s.action) {
        case Step::kSet0: ASSERT_EQ(platform_->SetEvent(events_[0]), kSysOk); break;
        case Step::kSet1: ASSERT_EQ(platform_->SetEvent(events_[1]), kSysOk); break;
        case Step::kReset0: ASSERT_EQ(platform_->ResetEvent(events_[0]), kSysOk); break;
        case Step::kReset1: ASSERT_EQ(platform_->ResetEvent(events_[1]), kSysOk); break;
        }
        EXPECT_EQ(platform_->WaitForEvents(events_, 2, 0), s.want) << s.legend;
    }
}

TEST_F(PosixEventsTest, SignalDuringAWaitWakesItAndResetClearsIt) {
    for (std::size_t index : {0u, 1u}) {
        const auto start = Clock::now();
        EXPECT_EQ(WaitWhileAnotherThreadSets(index), index);
        EXPECT_LT(Clock::now() - start, milliseconds(kLongMs / 2)) << "the wait slept through the signal";
        // Manual reset: still signalled until reset, then the wake-up left behind is gone too.
        EXPECT_EQ(platform_->WaitForEvents(events_, 2, 0), index);
        ASSERT_EQ(platform_->ResetEvent(events_[index]), kSysOk);
        EXPECT_EQ(platform_->WaitForEvents(events_, 2, kShortMs), kWaitTimeout) << "event " << index;
    }
}

TEST_F(PosixEventsTest, SignalWithoutAWaiterIsSeenByTheNextWait) {
    ASSERT_EQ(platform_->SetEvent(events_[1]), kSysOk);
    EXPECT_EQ(platform_->WaitForEvents(events_, 2, kLongMs), 1u);
    // A later wait on the event alone, after a reset and a new signal from another thread.
    ASSERT_EQ(platform_->ResetEvent(events_[1]), kSysOk);
    std::thread setter([&] {
        std::this_thread::sleep_for(kSetterDelay);
        platform_->SetEvent(events_[1]);
    });
    EXPECT_EQ(platform_->WaitForEvents(&events_[1], 1, kLongMs), 0u);
    setter.join();
}

}  // namespace
}  // namespace sincrovia
