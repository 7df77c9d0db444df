// Port enumeration on Linux. The kernel lists every terminal under /sys/class/tty, but most of
// them are no serial line: virtual consoles, ptmx and the like have no backing device, and the
// 8250 driver registers placeholder ports ttyS0..ttySn whether or not a UART is fitted (their
// "type" attribute then reads 0, "unknown port"). Virtual ports are links in a folder of ours.
#include "serial/CommPortList.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "serial/PortNames.h"

namespace sincrovia {
namespace fs = std::filesystem;

namespace {

// Value of a serial port's "type" attribute when no UART answers at that place.
constexpr long kPortTypeUnknown = 0;

// False only when the entry carries a "type" attribute that reads as "unknown port".
bool HasKnownPortType(const fs::path& entry) {
    std::ifstream typeFile(entry / "type");
    if (!typeFile) return true;  // not a serial-core port: the backing device is enough
    long type = kPortTypeUnknown;
    if (!(typeFile >> type)) return true;  // unreadable: rather list it than hide a real port
    return type != kPortTypeUnknown;
}

std::vector<std::string> RealSerialLines(const std::string& ttyClassFolder) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(ttyClassFolder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path entry = it->path();
        const std::string name = entry.filename().string();
        if (name.empty() || name.front() == '.') continue;
        std::error_code deviceError;
        if (!fs::exists(entry / "device", deviceError)) continue;  // console, ptmx, ttyN ...
        if (!HasKnownPortType(entry)) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), PortNameLess);
    return names;
}

// Links whose target is a character device: a link left behind by a simulator that has gone
// (dangling, or pointing at something else) is no port.
std::vector<std::string> VirtualPorts(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.front() == '.') continue;
        std::error_code statusError;
        if (!fs::is_symlink(it->symlink_status(statusError)) || statusError) continue;
        if (!fs::is_character_file(fs::status(it->path(), statusError)) || statusError) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Prefix of a stable name relative to /dev, so that the name opens as it is.
constexpr const char* kByIdPrefix = "serial/by-id/";

// Each line followed by the stable names that lead to it (links in the by-id folder whose
// target's name is the line's).
std::vector<std::string> WithStableNames(const std::vector<std::string>& lines, const std::string& byIdFolder) {
    std::vector<std::pair<std::string, std::string>> links;  // (target name, link name)
    std::error_code ec;
    fs::directory_iterator it(byIdFolder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError) continue;
        links.emplace_back(target.filename().string(), it->path().filename().string());
    }
    std::sort(links.begin(), links.end());
    std::vector<std::string> names;
    for (const auto& line : lines) {
        names.push_back(line);
        for (const auto& [target, link] : links)
            if (target == line) names.push_back(kByIdPrefix + link);
    }
    return names;
}

void AppendUnseen(std::vector<std::string>& items, const std::vector<std::string>& found) {
    for (const auto& name : found) {
        if (std::find(items.begin(), items.end(), name) == items.end()) items.push_back(name);
    }
}

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

bool PortNameLess(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Compare the digit runs by value: skip leading zeros, then length, then digits.
            size_t ai = i;
            size_t bj = j;
            while (ai < a.size() && a[ai] == '0') ++ai;
            while (bj < b.size() && b[bj] == '0') ++bj;
            size_t aEnd = ai;
            size_t bEnd = bj;
            while (aEnd < a.size() && IsDigit(a[aEnd])) ++aEnd;
            while (bEnd < b.size() && IsDigit(b[bEnd])) ++bEnd;
            if (aEnd - ai != bEnd - bj) return aEnd - ai < bEnd - bj;
            const int cmp = a.compare(ai, aEnd - ai, b, bj, bEnd - bj);
            if (cmp != 0) return cmp < 0;
            // Equal values: fewer leading zeros first, so that the order stays strict.
            if (aEnd - i != bEnd - j) return aEnd - i < bEnd - j;
            i = aEnd;
            j = bEnd;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

void ListSerialPorts(std::vector<std::string>& items, const PortListSources& sources) {
    AppendUnseen(items, WithStableNames(RealSerialLines(sources.ttyClassFolder), sources.byIdFolder));
    const std::string folder = sources.virtualPortFolder.empty() ? VirtualPortFolder() : sources.virtualPortFolder;
    AppendUnseen(items, VirtualPorts(folder));
}

void ListSerialPorts(std::vector<std::string>& items) { ListSerialPorts(items, PortListSources{}); }

}  // namespace sincrovia
