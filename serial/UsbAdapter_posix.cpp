// USB serial adapters on Linux publish their latency timer as the sysfs attribute
// class/tty/<name>/device/latency_timer (FTDI and alike); devices are reached by their node
// under /dev, often through a stable link in /dev/serial/by-id.
#include "serial/UsbAdapter.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace sincrovia {
namespace fs = std::filesystem;

namespace {
// The timer value that low-latency mode asks for; above it replies are held back.
constexpr int kLowLatencyTimerMs = 1;
// Longest group name buffer tried for getgrgid_r.
constexpr std::size_t kGroupBuffer = 16384;
}  // namespace

int AdapterLatencyTimerMs(const std::string& devicePath, const DeviceRoots& roots) {
    std::error_code ec;
    const fs::path device = fs::canonical(devicePath, ec);
    if (ec) return -1;
    std::ifstream file(fs::path(roots.sysRoot) / "class/tty" / device.filename() / "device" / "latency_timer");
    int ms = -1;
    if (!(file >> ms) || ms < 0) return -1;
    return ms;
}

std::string LatencyTimerAdvice(const std::string& devicePath, const DeviceRoots& roots) {
    const int ms = AdapterLatencyTimerMs(devicePath, roots);
    if (ms < 0) return {};
    std::error_code ec;
    const std::string name = fs::canonical(devicePath, ec).filename().string();
    std::string text = "USB adapter " + name + ": latency timer " + std::to_string(ms) + " ms";
    if (ms > kLowLatencyTimerMs) {
        text += ", replies may arrive up to " + std::to_string(ms) +
                " ms late; lower it with: echo 1 | sudo tee /sys/bus/usb-serial/devices/" + name + "/latency_timer";
    }
    return text;
}

std::string OpenFailureAdvice(const std::string& devicePath, std::uint32_t code) {
    if (code != EACCES && code != EPERM) return {};
    std::string groupName = "dialout";  // the usual owner group of serial lines
    struct stat info {};
    if (::stat(devicePath.c_str(), &info) == 0) {
        std::vector<char> buffer(kGroupBuffer);
        group entry{};
        struct group* found = nullptr;
        if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
            found->gr_name != nullptr)
            groupName = found->gr_name;
        else
            groupName = std::to_string(info.st_gid);
    }
    return "Permission denied on " + devicePath + ": add your user to the group " + groupName + " and log in again";
}

}  // namespace sincrovia
