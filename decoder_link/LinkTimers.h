// The threaded timers of a decoder link behind a small interface of their own, so that the
// link's code does not see the timer header beside the serial port header (both name an event
// type TNotifyEvent of their own).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace sincrovia {

class TThreadedTimer;

/// A threaded timer whose tick runs `onTick` on the main thread.
class LinkTimer {
public:
    /// Creates the timer stopped, with the given interval.
    LinkTimer(uint32_t intervalMs, std::function<void()> onTick);
    /// Stops and joins the timer's thread.
    ~LinkTimer();
    LinkTimer(const LinkTimer&) = delete;
    LinkTimer& operator=(const LinkTimer&) = delete;

    /// Whether ticks are delivered.
    bool Enabled() const;
    /// Starts or stops the ticks.
    void SetEnabled(bool value);
    /// Milliseconds between ticks.
    uint32_t Interval() const;

private:
    std::unique_ptr<TThreadedTimer> timer_;
};

}  // namespace sincrovia
