// The main-thread hand-over: one queue of calls, filled by any thread and served by the main
// thread. A synchronous caller waits on a condition variable until its call has run; the main
// thread serves in queue order and may serve again from inside a call (nested pumping), so each
// call is taken off the queue before it runs. Nothing here polls: every wait is on a condition.
#include "util/MainThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>

namespace sincrovia {
namespace {

// One handed-over call. A synchronous call points at the caller's function (the caller waits
// until the call is done or dropped, so the pointer stays valid); a posted call owns its copy.
struct Call {
    const std::function<void()>* borrowed = nullptr;
    std::function<void()> owned;
    bool synchronous = false;
    uint64_t sequence = 0;
    bool done = false;  // ran, or dropped by a shutdown
    bool ran = false;
    std::exception_ptr error;
};

struct HandOver {
    std::mutex mutex;
    std::condition_variable queued;    // the main thread waits here for calls (and joins)
    std::condition_variable finished;  // synchronous callers wait here for their call
    std::deque<std::shared_ptr<Call>> calls;
    uint64_t nextSequence = 1;
    bool shutdown = false;
    bool exitHookInstalled = false;
    std::atomic<std::thread::id> mainThread{};

    std::mutex wakeupMutex;  // held while the wake-up runs, so removing it is final
    std::function<void()> wakeup;
};

// Never destroyed: background threads may still reach it while static objects are destroyed
// at program exit.
HandOver& State() {
    static HandOver* const state = new HandOver;
    return *state;
}

void CallWakeup() {
    HandOver& s = State();
    std::lock_guard<std::mutex> lock(s.wakeupMutex);
    if (!s.wakeup) return;
    try {
        s.wakeup();
    } catch (...) {
        // A failing wake-up must not unwind a caller whose call is already queued; the call is
        // served at the next serving instead.
    }
}

// Takes every queued call off the queue and releases the waiting callers with "not run".
// Requires the lock; returns the dropped calls so that the caller destroys them unlocked
// (a posted closure's destructor may hand over again).
std::deque<std::shared_ptr<Call>> DropQueuedLocked(HandOver& s) {
    std::deque<std::shared_ptr<Call>> dropped;
    dropped.swap(s.calls);
    for (const auto& call : dropped) {
        call->done = true;
        call->ran = false;
    }
    s.finished.notify_all();
    s.queued.notify_all();
    return dropped;
}

void RunCall(Call& call) {
    HandOver& s = State();
    std::exception_ptr error;
    try {
        if (call.synchronous) {
            if (*call.borrowed) (*call.borrowed)();
        } else if (call.owned) {
            call.owned();
        }
    } catch (...) {
        error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    call.done = true;
    call.ran = true;
    if (call.synchronous) call.error = std::move(error);  // posted calls have nobody to tell
    s.finished.notify_all();
}

// Serves calls queued up to and including `lastSequence`; calls queued by the calls themselves
// wait for the next serving, so a call that posts itself again cannot hold the loop forever.
int ServeUpTo(uint64_t lastSequence) {
    HandOver& s = State();
    int served = 0;
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.calls.empty() || s.calls.front()->sequence > lastSequence) break;
            call = std::move(s.calls.front());
            s.calls.pop_front();
        }
        RunCall(*call);
        ++served;
    }
    return served;
}

uint64_t LastQueuedSequence() {
    HandOver& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.nextSequence - 1;
}

}  // namespace

void SetMainThread() {
    HandOver& s = State();
    std::thread::id none{};
    s.mainThread.compare_exchange_strong(none, std::this_thread::get_id());
    bool installHook = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        installHook = !s.exitHookInstalled;
        s.exitHookInstalled = true;
        s.queued.notify_all();
    }
    if (installHook) std::atexit(ShutdownMainThreadCalls);
    // Calls handed over before a main thread existed are waiting: let the loop know.
    CallWakeup();
}

bool IsMainThread() { return State().mainThread.load() == std::this_thread::get_id(); }

bool RunOnMainThread(const std::function<void()>& fn) {
    HandOver& s = State();
    if (IsMainThread()) {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.shutdown) return false;
        }
        if (fn) fn();
        return true;
    }
    auto call = std::make_shared<Call>();
    call->borrowed = &fn;
    call->synchronous = true;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.shutdown) return false;
        call->sequence = s.nextSequence++;
        s.calls.push_back(call);
        s.queued.notify_all();
    }
    CallWakeup();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.finished.wait(lock, [&] { return call->done; });
    // Take the exception over: it then lives and dies on this thread only.
    std::exception_ptr error = std::move(call->error);
    const bool ran = call->ran;
    lock.unlock();
    if (error) std::rethrow_exception(error);
    return ran;
}

void PostToMainThread(std::function<void()> fn) {
    HandOver& s = State();
    auto call = std::make_shared<Call>();
    call->owned = std::move(fn);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.shutdown) return;  // `call` (and the closure) is destroyed after unlocking
        call->sequence = s.nextSequence++;
        s.calls.push_back(std::move(call));
        s.queued.notify_all();
    }
    CallWakeup();
}

int ServeMainThreadCalls() {
    if (!IsMainThread()) return 0;
    return ServeUpTo(LastQueuedSequence());
}

bool WaitAndServeMainThreadCalls(std::chrono::milliseconds timeout) {
    if (!IsMainThread()) return false;
    HandOver& s = State();
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        // Not ended by a shutdown: no call comes any more, and a caller's pumping loop must
        // keep sleeping instead of spinning.
        s.queued.wait_for(lock, timeout, [&] { return !s.calls.empty(); });
    }
    return ServeMainThreadCalls() > 0;
}

void JoinServing(std::thread& thread) {
    if (!thread.joinable()) return;
    if (!IsMainThread() || thread.get_id() == std::this_thread::get_id()) {
        thread.join();  // nothing to serve here (a self-join reports its own error)
        return;
    }
    // std::thread offers no "has it ended?" test, so a helper thread does the join and wakes us;
    // until then the calls the joined thread hands over (or anyone else's) are served.
    HandOver& s = State();
    auto joined = std::make_shared<bool>(false);
    std::thread joiner;
    try {
        joiner = std::thread([&thread, joined, &s] {
            thread.join();
            std::lock_guard<std::mutex> lock(s.mutex);
            *joined = true;
            s.queued.notify_all();
        });
    } catch (const std::system_error&) {
        // No thread to spare: serve what is queued and join plainly.
        ServeMainThreadCalls();
        thread.join();
        return;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.queued.wait(lock, [&] { return *joined || !s.calls.empty(); });
            if (*joined) break;
        }
        ServeMainThreadCalls();
    }
    joiner.join();
}

void SetMainThreadWakeup(std::function<void()> wakeup) {
    HandOver& s = State();
    std::function<void()> previous;
    {
        std::lock_guard<std::mutex> lock(s.wakeupMutex);
        previous = std::exchange(s.wakeup, std::move(wakeup));
    }
}

void ShutdownMainThreadCalls() {
    HandOver& s = State();
    std::deque<std::shared_ptr<Call>> dropped;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.shutdown = true;
        dropped = DropQueuedLocked(s);
    }
}

void ResetMainThread() {
    HandOver& s = State();
    std::deque<std::shared_ptr<Call>> dropped;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        dropped = DropQueuedLocked(s);
        s.shutdown = false;
        s.mainThread.store(std::thread::id{});
    }
}

bool MainThreadCallsShutDown() {
    HandOver& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.shutdown;
}

}  // namespace sincrovia
