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
/// Returns false (without running fn) when the hand-over is shut down. An exception thrown by fn
/// is rethrown in the calling thread. Before a main thread is set, the call waits until one is
/// set and serves it (or until shutdown).
bool RunOnMainThread(const std::function<void()>& fn);

/// Queues fn to run on the main thread after the current event; does not wait. Also from the
/// main thread (the call then runs at the next serving). Exceptions thrown by fn are swallowed;
/// dropped when the hand-over is shut down.
void PostToMainThread(std::function<void()> fn);

/// Main thread: runs every call queued so far; returns how many ran.
int ServeMainThreadCalls();

/// Main thread: waits up to timeout for calls, serves what arrived; true if any ran.
bool WaitAndServeMainThreadCalls(std::chrono::milliseconds timeout);

/// Main thread: joins a thread while serving its hand-overs, so the join cannot deadlock.
void JoinServing(std::thread& thread);

/// Installs a function called (from any thread) whenever a call is queued, so an event loop
/// can wake up and serve it; nullptr removes it. Once the setter returns, the previous function
/// is no longer running. The function must not call back into the hand-over setters.
void SetMainThreadWakeup(std::function<void()> wakeup);

/// Shuts the hand-over down: calls still queued are dropped, their waiting threads return false,
/// and later hand-overs return false at once. Also runs at program exit once a main thread is set,
/// so that no background thread waits forever on a main thread that has gone.
void ShutdownMainThreadCalls();

/// Forgets the main thread and reopens a shut-down hand-over (queued calls are dropped as by a
/// shutdown). Meant for tests and for a program that hands the role to another thread.
void ResetMainThread();

/// True once ShutdownMainThreadCalls has run (and no reset followed).
bool MainThreadCallsShutDown();
}  // namespace sincrovia
