// A timer whose timing comes from a thread of its own while its handler still runs on the main
// thread (through the main-thread hand-over). Ticks never pile up: each interval starts when the
// previous tick's handler has returned.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "serial/ThreadPriority.h"

namespace sincrovia {

/// Tick handler; the argument is the timer ("Sender").
using TTimerEvent = std::function<void(void* sender)>;

/// Non-visual timer ticking on the main thread, timed by its own thread.
class TThreadedTimer {
public:
    /// Creates a disabled timer with Interval 1000 ms and normal thread priority; its thread starts
    /// at once and waits (throws std::system_error when no thread can be created).
    TThreadedTimer();
    /// Disables the timer, stops and joins its thread (serving a pending tick, which does nothing).
    /// May run inside the timer's own tick handler: the thread then ends after the tick.
    ~TThreadedTimer();
    TThreadedTimer(const TThreadedTimer&) = delete;
    TThreadedTimer& operator=(const TThreadedTimer&) = delete;

    /// Whether ticks are delivered.
    bool Enabled() const;
    /// Starts or stops ticking; enabling starts a full interval from now.
    void SetEnabled(bool value);
    /// Milliseconds from the end of one tick (or from enabling) to the next.
    uint32_t Interval() const;
    /// Changes the interval; a change while enabled restarts the timing.
    void SetInterval(uint32_t ms);
    /// Whether Interval 0 ticks as fast as the main thread takes ticks (true) or not at all.
    bool AllowZero() const;
    /// Changes AllowZero. With Interval 0 this moves an enabled timer between zero-held and
    /// running (starting a fresh wait); with any other interval it changes nothing at once.
    void SetAllowZero(bool value);
    /// Scheduling priority of the timer thread.
    TThreadPriority ThreadPriority() const;
    /// Sets the timer thread's priority (best effort on platforms that refuse it).
    void SetThreadPriority(TThreadPriority value);
    /// The tick handler, run on the main thread; exceptions from it are swallowed.
    TTimerEvent OnTimer;

private:
    // State shared with the timer thread. The thread keeps its own reference, so a timer
    // destroyed from inside its own tick can let the thread finish on its own.
    struct Shared;
    static void ThreadLoop(const std::shared_ptr<Shared>& shared);
    static void Tick(Shared& shared, uint64_t generation);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace sincrovia
