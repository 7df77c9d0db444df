#include "serial/CommPortRegistry.h"

#include <algorithm>
#include <cctype>

namespace sincrovia {

namespace {

// Versions: NT 4 and 95 are 4.0; 98 is 4.10 and Me 4.90; 2000 and later are 5 and up.
constexpr std::uint32_t kFirstSupportedMajor = 4;
// Port kinds in a driver key's "PortSubClass": serial port, modem.
constexpr unsigned char kSubClassSerial = 1;
constexpr unsigned char kSubClassModem = 2;
// Deeper than any device tree; a registry that nests further (a loop of links) is cut here
// rather than walked until the stack runs out.
constexpr int kMaxEnumDepth = 32;

void AppendUnseen(std::vector<std::string>& items, const std::string& name) {
    if (std::find(items.begin(), items.end(), name) == items.end()) items.push_back(name);
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<std::string> StringValue(RegistryKey& key, const std::string& name) {
    if (key.TypeOf(name) != RegValueType::String) return std::nullopt;
    return key.ReadString(name);
}

void ListFromDeviceMap(std::vector<std::string>& items, RegistryView& registry) {
    auto key = registry.OpenReadOnly(kSerialDeviceMapKey);
    if (!key) return;
    for (const std::string& name : key->ValueNames()) {
        if (auto port = StringValue(*key, name)) AppendUnseen(items, *port);
    }
}

// A device key of the ports or modem class names its port; its driver key tells whether it is
// a serial port or a modem (anything else, a parallel port say, is left out).
void ListDeviceKey(std::vector<std::string>& items, RegistryView& registry, RegistryKey& key) {
    const auto cls = StringValue(key, "class");
    if (!cls) return;
    const std::string kind = Lower(*cls);
    if (kind != "ports" && kind != "modem") return;
    const auto driver = StringValue(key, "driver");
    const auto portName = StringValue(key, "portname");
    if (!driver || !portName) return;
    auto driverKey = registry.OpenReadOnly(kDriverClassKey + *driver);
    if (!driverKey) return;
    const auto subClass = driverKey->TypeOf("PortSubClass") == RegValueType::Binary
                              ? driverKey->ReadBinary("PortSubClass")
                              : std::nullopt;
    if (!subClass || subClass->size() != 1) return;
    const auto value = static_cast<unsigned char>((*subClass)[0]);
    if (value == kSubClassSerial || value == kSubClassModem) AppendUnseen(items, *portName);
}

// Depth first over the device tree, each key before its sub-keys, sub-keys in registry order.
void WalkEnumTree(std::vector<std::string>& items, RegistryView& registry, const std::string& path, int depth) {
    auto key = registry.OpenReadOnly(path);
    if (!key) return;
    ListDeviceKey(items, registry, *key);
    if (depth >= kMaxEnumDepth) return;
    for (const std::string& sub : key->SubKeyNames()) {
        WalkEnumTree(items, registry, path + "\\" + sub, depth + 1);
    }
}

}  // namespace

void ListSerialPortsFromRegistry(std::vector<std::string>& items, const SystemVersion& version,
                                 RegistryView& registry) {
    if (!version.known || version.platformId <= 0 || version.major < kFirstSupportedMajor) return;
    if (version.major > kFirstSupportedMajor || version.minor == 0) {
        ListFromDeviceMap(items, registry);
    } else {
        WalkEnumTree(items, registry, kEnumTreeKey, 0);
    }
}

}  // namespace sincrovia
