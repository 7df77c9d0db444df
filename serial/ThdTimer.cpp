// The threaded timer. Its thread only keeps time: it waits one interval on a condition that
// any property change signals (a signal means "start a fresh wait", never "tick"), then hands a
// tick to the main thread and waits until the handler has returned. So ticks never pile up,
// and everything the handler sees happens on the main thread.
#include "serial/ThdTimer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "util/MainThread.h"

namespace sincrovia {

namespace {
// Interval of a new timer, in milliseconds.
constexpr uint32_t kDefaultIntervalMs = 1000;
}  // namespace

struct TThreadedTimer::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    bool wakeSignalled = false;  // auto-reset wake-up: consumed by the wait that sees it
    bool terminate = false;
    bool enabled = false;
    bool allowZero = false;
    uint32_t interval = kDefaultIntervalMs;
    // Changes whenever the timing restarts; a tick requested under an older generation is stale.
    uint64_t generation = 0;
    TThreadPriority priority = TThreadPriority::tpNormal;
    ThreadSchedulingId threadId = 0;  // set by the timer thread once it runs
    TThreadedTimer* owner = nullptr;  // null once destruction began: no tick reaches it
    int ticksRunning = 0;             // ticks of this timer now inside the handler

    bool Running() const { return enabled && (interval > 0 || allowZero); }

    // Restarts the timing: the thread leaves its wait and starts a fresh one (or holds), and a
    // tick already on its way to the main thread is dropped.
    void Restart() {
        ++generation;
        wakeSignalled = true;
        wake.notify_all();
    }
};

TThreadedTimer::TThreadedTimer() : shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
    std::shared_ptr<Shared> shared = shared_;
    thread_ = std::thread([shared] { ThreadLoop(shared); });
}

TThreadedTimer::~TThreadedTimer() {
    bool insideOwnTick = false;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->enabled = false;
        shared_->owner = nullptr;
        shared_->terminate = true;
        insideOwnTick = shared_->ticksRunning > 0;
        shared_->Restart();
    }
    if (insideOwnTick) {
        // The thread waits for the very tick that is destroying us: joining would never end.
        // It ends by itself once the tick returns, holding its own reference to the state.
        thread_.detach();
    } else {
        JoinServing(thread_);
    }
}

void TThreadedTimer::ThreadLoop(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.threadId = CurrentThreadSchedulingId();
    if (s.priority != TThreadPriority::tpNormal) ApplyThreadPriority(s.threadId, s.priority);
    while (!s.terminate) {
        if (!s.Running()) {
            s.wake.wait(lock, [&] { return s.wakeSignalled || s.terminate; });
            s.wakeSignalled = false;
            continue;
        }
        const std::chrono::milliseconds interval(s.interval);
        const bool signalled = s.wake.wait_for(lock, interval, [&] { return s.wakeSignalled || s.terminate; });
        if (s.terminate) break;
        if (signalled) {
            s.wakeSignalled = false;  // a property changed: start a fresh wait, no tick
            continue;
        }
        const uint64_t generation = s.generation;
        lock.unlock();
        bool delivered = false;
        try {
            delivered = RunOnMainThread([shared, generation] { Tick(*shared, generation); });
        } catch (...) {
            delivered = true;  // Tick swallows the handler's exceptions; nothing else throws
        }
        lock.lock();
        if (!delivered) {
            // The hand-over is shut down: nobody will take ticks again. Hold until destroyed
            // instead of spinning on refused hand-overs.
            s.wake.wait(lock, [&] { return s.terminate; });
        }
    }
    s.threadId = 0;
}

void TThreadedTimer::Tick(Shared& s, uint64_t generation) {
    TThreadedTimer* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.owner == nullptr || !s.Running() || generation != s.generation) return;
        owner = s.owner;
        ++s.ticksRunning;
    }
    // A copy: the handler may reassign OnTimer or destroy the timer while it runs.
    TTimerEvent handler = owner->OnTimer;
    if (handler) {
        try {
            handler(owner);
        } catch (...) {
            // A failing handler must not stop the timer; the next tick comes as usual.
        }
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    --s.ticksRunning;
}

bool TThreadedTimer::Enabled() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->enabled;
}

void TThreadedTimer::SetEnabled(bool value) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->enabled == value) return;
    shared_->enabled = value;
    // Disabling wakes the thread into its hold; enabling a timer that may run starts a full
    // interval from now (a zero-held timer stays held).
    shared_->Restart();
}

uint32_t TThreadedTimer::Interval() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->interval;
}

void TThreadedTimer::SetInterval(uint32_t ms) {
    const bool wasEnabled = Enabled();
    if (Interval() == ms) return;
    SetEnabled(false);
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->interval = ms;
    }
    if (wasEnabled) SetEnabled(true);
}

bool TThreadedTimer::AllowZero() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->allowZero;
}

void TThreadedTimer::SetAllowZero(bool value) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->allowZero == value) return;
    const bool wasRunning = shared_->Running();
    shared_->allowZero = value;
    if (shared_->Running() != wasRunning) shared_->Restart();
}

TThreadPriority TThreadedTimer::ThreadPriority() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->priority;
}

void TThreadedTimer::SetThreadPriority(TThreadPriority value) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->priority = value;
    // Before the thread runs it applies the priority itself.
    if (shared_->threadId != 0) ApplyThreadPriority(shared_->threadId, value);
}

}  // namespace sincrovia
