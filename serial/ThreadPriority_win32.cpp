// Thread priorities on Windows: the levels are the system's own thread priority levels.
#include <windows.h>

#include "serial/ThreadPriority.h"

namespace sincrovia {
namespace {

int LevelOf(TThreadPriority priority) {
    switch (priority) {
    case TThreadPriority::tpIdle: return THREAD_PRIORITY_IDLE;
    case TThreadPriority::tpLowest: return THREAD_PRIORITY_LOWEST;
    case TThreadPriority::tpLower: return THREAD_PRIORITY_BELOW_NORMAL;
    case TThreadPriority::tpNormal: return THREAD_PRIORITY_NORMAL;
    case TThreadPriority::tpHigher: return THREAD_PRIORITY_ABOVE_NORMAL;
    case TThreadPriority::tpHighest: return THREAD_PRIORITY_HIGHEST;
    case TThreadPriority::tpTimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

}  // namespace

ThreadSchedulingId CurrentThreadSchedulingId() { return static_cast<ThreadSchedulingId>(::GetCurrentThreadId()); }

bool ApplyThreadPriority(ThreadSchedulingId id, TThreadPriority priority) {
    if (id <= 0) return false;
    const HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (thread == nullptr) return false;
    const bool applied = ::SetThreadPriority(thread, LevelOf(priority)) != 0;
    ::CloseHandle(thread);
    return applied;
}

}  // namespace sincrovia
