// Port names on Windows: the name is the system's device name ("COM3"), opened through the
// device namespace, which also reaches ports numbered above 9.
#include "serial/PortNames.h"

namespace sincrovia {

namespace {
// Prefix of the device namespace.
constexpr const char* kDeviceNamespace = "\\\\.\\";
}  // namespace

// Windows has no folder of virtual ports: a virtual-port driver makes COM ports named like
// real ones, which the port list finds with the others.
std::string VirtualPortFolder() { return {}; }

std::string DevicePathForPort(const std::string& name) {
    // A name that already is a device path ("\\.\COM3", "\\?\...") is kept as given.
    if (name.rfind("\\\\", 0) == 0) return name;
    return kDeviceNamespace + name;
}

}  // namespace sincrovia
