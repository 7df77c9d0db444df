// On Linux the priority classes map to nice values. A nice value belongs to one thread and is
// inherited by the threads it starts; the class is applied to the calling (main) thread, where
// everything that decides runs, and the worker threads keep the priorities given to them.
#include "decoder_link/ProcessPriority.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace sincrovia {
namespace {

constexpr int kNiceIdle = 19;
constexpr int kNiceNormal = 0;
constexpr int kNiceHigh = -5;
constexpr int kNiceRealTime = -10;

int NiceOf(int priorityClass) {
    switch (priorityClass) {
    case kPriorityIdle: return kNiceIdle;
    case kPriorityHigh: return kNiceHigh;
    case kPriorityRealTime: return kNiceRealTime;
    default: return kNiceNormal;
    }
}

}  // namespace

bool SetProcessPriorityClass(int priorityClass, std::string& error) {
    // PRIO_PROCESS with id 0 names the calling thread on Linux.
    if (setpriority(PRIO_PROCESS, 0, NiceOf(priorityClass)) == 0) return true;
    error = std::strerror(errno);
    return false;
}

}  // namespace sincrovia
