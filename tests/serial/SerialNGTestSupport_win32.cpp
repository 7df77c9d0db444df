// The parts of the serial test support that are per system, on Windows: the process's CPU
// time. (Pseudo-terminal pairs exist only on POSIX systems; the tests that need them are not
// built here.)
#include <windows.h>

#include "SerialNGTestSupport.h"

namespace sincrovia::serialtest {

double ProcessCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    // File times count 100-nanosecond steps.
    constexpr double kStepsPerSecond = 1e7;
    auto seconds = [](const FILETIME& t) {
        const ULONGLONG steps = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(steps) / kStepsPerSecond;
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace sincrovia::serialtest
