// The serial ports as the Windows registry lists them. The walk over the registry is plain logic
// over a small read-only view of it, so that it is exercised on a made-up registry as well as on
// the system's own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sincrovia {

/// What the system's version query answered.
struct SystemVersion {
    bool known = false;           ///< false when the query failed
    std::int32_t platformId = 0;  ///< 1 for the old consumer family (95, 98, Me), 2 for NT and later
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
};

/// Kinds of registry values that the walk tells apart.
enum class RegValueType { Missing, String, Binary, Other };

/// One registry key, opened read-only.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    /// Names of the key's values, in the registry's order.
    virtual std::vector<std::string> ValueNames() = 0;
    /// Names of the key's sub-keys, in the registry's order.
    virtual std::vector<std::string> SubKeyNames() = 0;
    /// The type of the value `name` (Missing when there is none).
    virtual RegValueType TypeOf(const std::string& name) = 0;
    /// The text of a string value, up to its first zero byte; nothing when it is missing or not
    /// a string.
    virtual std::optional<std::string> ReadString(const std::string& name) = 0;
    /// The bytes of a binary value; nothing when it is missing or not binary.
    virtual std::optional<std::string> ReadBinary(const std::string& name) = 0;
};

/// A registry tree below one root, read only.
class RegistryView {
public:
    virtual ~RegistryView() = default;
    /// Opens the key at `path` below the root (names joined by '\', a leading '\' allowed);
    /// nullptr when it cannot be opened.
    virtual std::unique_ptr<RegistryKey> OpenReadOnly(const std::string& path) = 0;
};

/// Where the system keeps the names of its serial ports (NT 4, 95, and every later system).
inline constexpr const char* kSerialDeviceMapKey = "\\hardware\\devicemap\\serialcomm";
/// Root of the device tree that 98 and Me list their ports in.
inline constexpr const char* kEnumTreeKey = "\\enum";
/// Folder of the driver keys that tell a port's kind on 98 and Me.
inline constexpr const char* kDriverClassKey = "\\System\\CurrentControlSet\\Services\\Class\\";

/// Appends every port name that `registry` (the machine's HKEY_LOCAL_MACHINE, or a stand-in)
/// lists and `items` does not contain yet, in the registry's order; `version` chooses where to
/// look. Nothing is added on systems older than NT 4 / 95 or when the version is unknown.
void ListSerialPortsFromRegistry(std::vector<std::string>& items, const SystemVersion& version, RegistryView& registry);

/// Windows only: the version of the running system.
SystemVersion RunningSystemVersion();

/// Registry roots that Windows builds can open.
enum class RegistryRoot { LocalMachine, CurrentUser };

/// Windows only: the system registry below `root` and the key path `base` (empty: the root
/// itself), read only.
std::unique_ptr<RegistryView> MakeSystemRegistry(RegistryRoot root, const std::string& base = {});

}  // namespace sincrovia
