// Port names on Linux: a virtual port is a link in our per-user folder, anything else is a
// device under /dev named like the port.
#include "serial/PortNames.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace sincrovia {

namespace {
// Name of our folder of virtual ports inside the user's runtime folder.
constexpr const char* kVirtualPortSubfolder = "sincrovia-ports";
// Fallback folder of virtual ports (followed by the user id) when there is no runtime folder.
constexpr const char* kVirtualPortFallbackPrefix = "/tmp/sincrovia-ports-";
}  // namespace

std::string VirtualPortFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != '\0') {
        std::string folder = runtime;
        if (folder.back() != '/') folder += '/';
        return folder + kVirtualPortSubfolder;
    }
    return kVirtualPortFallbackPrefix + std::to_string(getuid());
}

std::string DevicePathForPort(const std::string& name) {
    if (!name.empty() && name.front() == '/') return name;
    // Only a plain name can be a virtual port; "pts/3" and the like stay below /dev.
    if (!name.empty() && name.find('/') == std::string::npos) {
        const std::filesystem::path link = std::filesystem::path(VirtualPortFolder()) / name;
        std::error_code ec;
        // The link itself decides, even when it dangles: opening it then tells the user that
        // the virtual port has gone, rather than looking for a device of that name.
        if (std::filesystem::exists(std::filesystem::symlink_status(link, ec)) && !ec) return link.string();
    }
    return "/dev/" + name;
}

}  // namespace sincrovia
