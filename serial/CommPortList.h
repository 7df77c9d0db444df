// The serial ports of this machine, by the names the user picks them by ("ttyUSB0", "ttyS0",
// a virtual port's link name). The port selectors fill their lists from here.
#pragma once

#include <string>
#include <vector>

namespace sincrovia {

/// Where the port list looks; the defaults are the live system (tests point them elsewhere).
struct PortListSources {
    /// The kernel's class folder of terminal devices.
    std::string ttyClassFolder = "/sys/class/tty";
    /// The folder of virtual ports (symbolic links to pseudo-terminals).
    std::string virtualPortFolder;  // empty: VirtualPortFolder()
    /// The folder of stable names of USB serial devices (links named after the adapter).
    std::string byIdFolder = "/dev/serial/by-id";
};

/// Appends every port name found that `items` does not contain yet, in discovery order: first
/// the real serial lines (in natural name order, "ttyS2" before "ttyS10"), each followed by its
/// stable names ("serial/by-id/usb-...", which stay the same when adapters are plugged in
/// another order), then the virtual ports in name order. `items` is never cleared or sorted; finding nothing is not an
/// error.
void ListSerialPorts(std::vector<std::string>& items);

/// The same, looking in `sources`.
void ListSerialPorts(std::vector<std::string>& items, const PortListSources& sources);

/// Natural order of port names: runs of digits compare by value ("ttyS2" < "ttyS10").
bool PortNameLess(const std::string& a, const std::string& b);

}  // namespace sincrovia
