// A timer whose timing comes from a thread of its own while its handler still runs on the main
// thread (through the main-thread hand-over). Ticks never pile up: each interval starts when the
// previous tick's handler has returned.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace sincrovia {

/// Scheduling priority of a worker thread.
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

/// Tick handler; the argument is the timer ("Sender").
using TNotifyEvent = std::function<void(void* sender)>;

/// Non-visual timer ticking on the main thread, timed by its own thread.
class TThreadedTimer {
public:
    /// Creates a disabled timer with Interval 1000 ms and normal thread priority.
    TThreadedTimer();
    /// Disables the timer, stops and joins its thread (serving a pending tick, which does nothing).
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
    /// Changes AllowZero (moves an enabled timer between zero-held and running).
    void SetAllowZero(bool value);
    /// Scheduling priority of the timer thread.
    TThreadPriority ThreadPriority() const;
    /// Sets the timer thread's priority (best effort on platforms that refuse it).
    void SetThreadPriority(TThreadPriority value);
    /// The tick handler, run on the main thread; exceptions from it are swallowed.
    TNotifyEvent OnTimer;

private:
    void ThreadLoop();
    void Tick();
    bool Running() const;  // enabled and (interval > 0 or allowZero)

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool wakeSignalled_ = false;
    bool terminate_ = false;
    bool enabled_ = false;
    bool allowZero_ = false;
    bool destroying_ = false;
    uint32_t interval_ = 1000;
    TThreadPriority priority_ = TThreadPriority::tpNormal;
    std::thread thread_;
};

}  // namespace sincrovia
