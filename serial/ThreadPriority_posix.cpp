// Thread priorities on Linux: normal threads all share one static priority, so the levels map
// to the thread's nice value instead (Linux keeps a nice value per thread). Raising a priority
// above normal needs privileges; without them the call fails and the thread keeps its value.
#include "serial/ThreadPriority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sincrovia {
namespace {

// Nice values of the levels, from the lowest priority to the highest.
constexpr int kNiceIdle = 19;
constexpr int kNiceLowest = 10;
constexpr int kNiceLower = 5;
constexpr int kNiceNormal = 0;
constexpr int kNiceHigher = -5;
constexpr int kNiceHighest = -10;
constexpr int kNiceTimeCritical = -20;

int NiceOf(TThreadPriority priority) {
    switch (priority) {
    case TThreadPriority::tpIdle: return kNiceIdle;
    case TThreadPriority::tpLowest: return kNiceLowest;
    case TThreadPriority::tpLower: return kNiceLower;
    case TThreadPriority::tpNormal: return kNiceNormal;
    case TThreadPriority::tpHigher: return kNiceHigher;
    case TThreadPriority::tpHighest: return kNiceHighest;
    case TThreadPriority::tpTimeCritical: return kNiceTimeCritical;
    }
    return kNiceNormal;
}

}  // namespace

ThreadSchedulingId CurrentThreadSchedulingId() {
#ifdef __linux__
    return static_cast<ThreadSchedulingId>(syscall(SYS_gettid));
#else
    return 0;  // no per-thread id: priorities are not applied
#endif
}

bool ApplyThreadPriority(ThreadSchedulingId id, TThreadPriority priority) {
    if (id <= 0) return false;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(id), NiceOf(priority)) == 0;
}

}  // namespace sincrovia
