// Windows keeps adapter settings in the driver's own property pages, and its opening errors
// carry their own text: nothing to add here.
#include "serial/UsbAdapter.h"

namespace sincrovia {

int AdapterLatencyTimerMs(const std::string&, const DeviceRoots&) { return -1; }

std::string LatencyTimerAdvice(const std::string&, const DeviceRoots&) { return {}; }

std::string OpenFailureAdvice(const std::string&, std::uint32_t) { return {}; }

}  // namespace sincrovia
