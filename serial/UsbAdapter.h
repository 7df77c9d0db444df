// What the system tells about the device behind a port beyond the line itself: the latency
// timer of a USB serial adapter (it holds received bytes up to that many milliseconds, 16 by
// default on the common chips) and why an opening was refused, in words a user can act on.
#pragma once

#include <cstdint>
#include <string>

namespace sincrovia {

/// Where device facts are read; the defaults are the live system (tests pass a folder tree).
struct DeviceRoots {
    std::string sysRoot = "/sys";  ///< the kernel's sysfs
};

/// The latency timer, in milliseconds, of the USB serial adapter behind devicePath (symbolic
/// links such as /dev/serial/by-id/... are followed), or -1 when the line has none.
int AdapterLatencyTimerMs(const std::string& devicePath, const DeviceRoots& roots = {});

/// A memo line about the adapter's latency timer (what it is and, above 1 ms, how to lower
/// it), or the empty string when the line has no such timer.
std::string LatencyTimerAdvice(const std::string& devicePath, const DeviceRoots& roots = {});

/// A memo line explaining a failed opening of devicePath with the system code, naming what the
/// user can do (for a refused permission: the device's group to join), or the empty string
/// when there is nothing to add to the code.
std::string OpenFailureAdvice(const std::string& devicePath, std::uint32_t code);

}  // namespace sincrovia
