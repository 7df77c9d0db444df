// Scheduling priority of our worker threads, applied best effort: a platform that refuses a
// priority (an unprivileged Linux user may not raise one) leaves the thread as it was.
#pragma once

#include <cstdint>

namespace sincrovia {

/// Scheduling priority of a worker thread.
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

/// How the scheduler knows a thread (the kernel thread id on Linux); 0 means no thread.
using ThreadSchedulingId = std::int64_t;

/// The calling thread's scheduling id.
ThreadSchedulingId CurrentThreadSchedulingId();

/// Gives the thread `id` the priority `priority`; false when the platform refused (ignored by
/// the callers, who keep running at the priority they have).
bool ApplyThreadPriority(ThreadSchedulingId id, TThreadPriority priority);

}  // namespace sincrovia
