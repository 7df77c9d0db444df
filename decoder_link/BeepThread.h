// The beep thread of a decoder link: plays the system's exclamation sound once for every
// validated transit, keeping a minimum delay between two sounds, so that a burst of transits
// is heard as a row of beeps and the main thread never waits for a sound.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sincrovia {

/// Alias of the sound played for a beep.
inline constexpr const char* kBeepSoundAlias = "SystemExclamation";

/// A thread that plays queued beeps one after another.
class TThreadBeep {
public:
    /// Starts the thread idle (no beep pending); `delayMs` is the pause after every sound.
    explicit TThreadBeep(int32_t delayMs);
    /// Stops the thread: a beep being played finishes, pending ones are dropped.
    ~TThreadBeep();
    TThreadBeep(const TThreadBeep&) = delete;
    TThreadBeep& operator=(const TThreadBeep&) = delete;

    /// Adds one pending beep and wakes the thread (any thread may call it).
    void RequestBeep();
    /// Ends the thread and waits for it; later requests are ignored. Safe to call twice.
    void Stop();
    /// Beeps requested and not yet played.
    int Pending() const;
    /// Beeps played so far.
    int Played() const;

private:
    void Execute();

    const int32_t delayMs_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    int pending_ = 0;
    int played_ = 0;
    bool terminated_ = false;
    std::thread thread_;
};

}  // namespace sincrovia
