// The scheduling priority of the whole program, chosen by the links' "Priority" setting:
// 0 idle, 1 normal, 2 high, 3 real-time. The platform may refuse a raise (an unprivileged
// Linux user may not lower a nice value); the program then runs on at the priority it has.
#pragma once

#include <string>

namespace sincrovia {

/// Priority classes of the process.
inline constexpr int kPriorityIdle = 0;
inline constexpr int kPriorityNormal = 1;
inline constexpr int kPriorityHigh = 2;
inline constexpr int kPriorityRealTime = 3;

/// Applies a priority class (0..3; other values count as normal). Returns false with the
/// system's reason in `error` when the platform refused it.
bool SetProcessPriorityClass(int priorityClass, std::string& error);

}  // namespace sincrovia
