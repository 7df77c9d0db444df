// Port names as the user knows them, and where they lead. Real lines are named like their
// device ("ttyUSB0", "ttyS0"); virtual ports (pseudo-terminals published by the decoder
// simulator or a test) are symbolic links in a per-user folder, named by the link.
#pragma once

#include <string>

namespace sincrovia {

/// Folder of the virtual ports: $XDG_RUNTIME_DIR/sincrovia-ports, or /tmp/sincrovia-ports-<uid>
/// when that variable is unset or empty. Not created by this call.
std::string VirtualPortFolder();

/// The device path that opens the port `name`: a virtual port's link in VirtualPortFolder()
/// (when such an entry exists, even a dangling link; only for names without '/'), else
/// "/dev/" + name; a name that already is an absolute path is kept.
std::string DevicePathForPort(const std::string& name);

}  // namespace sincrovia
