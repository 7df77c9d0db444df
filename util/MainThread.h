// The main-thread hand-over. Everything that decides runs on the main thread; background
// threads (serial workers, timers, the beep thread) hand calls over and, for synchronous calls,
// wait until the main thread has run them. Calls run one at a time, in the order handed over.
// The main thread serves them from its event loop (the window wires a wake-up into Qt), from
// message-pumping waits, from modal boxes and while joining a thread, so that a join never
// deadlocks on a delivery in progress. Tests serve them from a plain loop.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace sincrovia {

/// Marks the calling thread as the main thread (the first call wins until reset).
void SetMainThread();

/// True on the main thread (or when no main thread was set, on no thread).
bool IsMainThread();

/// Runs fn on the main thread and waits for it to return. On the main thread it runs at once.
/// Returns false (without running fn) when the hand-over is shut down.
bool RunOnMainThread(const std::function<void()>& fn);

/// Queues fn to run on the main thread after the current event; does not wait.
void PostToMainThread(std::function<void()> fn);

/// Main thread: runs every call queued so far; returns how many ran.
int ServeMainThreadCalls();

/// Main thread: waits up to timeout for calls, serves what arrived; true if any ran.
bool WaitAndServeMainThreadCalls(std::chrono::milliseconds timeout);

/// Main thread: joins a thread while serving its hand-overs, so the join cannot deadlock.
void JoinServing(std::thread& thread);

/// Installs a function called (from any thread) whenever a call is queued, so an event loop
/// can wake up and serve it; nullptr removes it.
void SetMainThreadWakeup(std::function<void()> wakeup);
}  // namespace sincrovia
