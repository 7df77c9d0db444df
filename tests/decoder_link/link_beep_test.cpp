// The beep thread: pending beeps are played one after another with the delay between them,
// and stopping does not wait for the beeps still pending.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "decoder_link/BeepThread.h"
#include "util/DesktopServices.h"

namespace sincrovia {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(BeepThread, PlaysEveryRequestedBeep) {
    RecordingDesktop desktop;
    ScopedDesktop scoped(desktop);
    TThreadBeep beeper(0);
    for (int i = 0; i < 3; ++i) beeper.RequestBeep();
    ASSERT_TRUE(WaitFor([&] { return beeper.Played() == 3; }));
    EXPECT_EQ(beeper.Pending(), 0);
    beeper.RequestBeep();  // the thread sleeps between bursts and wakes for the next one
    ASSERT_TRUE(WaitFor([&] { return beeper.Played() == 4; }));
    beeper.Stop();
    const auto sounds = desktop.Sounds();
    ASSERT_EQ(sounds.size(), 4u);
    for (const std::string& s : sounds) EXPECT_EQ(s, "SystemExclamation");
}

TEST(BeepThread, StopDropsPendingBeepsWithoutWaitingForTheDelay) {
    RecordingDesktop desktop;
    ScopedDesktop scoped(desktop);
    TThreadBeep beeper(60'000);  // a minute between beeps
    for (int i = 0; i < 5; ++i) beeper.RequestBeep();
    ASSERT_TRUE(WaitFor([&] { return beeper.Played() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    beeper.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(beeper.Played(), 1);
    beeper.RequestBeep();  // ignored once stopped
    beeper.Stop();         // a second stop is harmless
    EXPECT_EQ(desktop.Sounds().size(), 1u);
}

}  // namespace
}  // namespace sincrovia
