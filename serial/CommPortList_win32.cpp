// Port enumeration on Windows: the system's version chooses the registry method, and the
// registry is read through the system's own calls, read only.
#include <windows.h>

#include <vector>

#include "serial/CommPortList.h"
#include "serial/CommPortRegistry.h"

namespace sincrovia {

namespace {

// The longest value or key name the registry allows, with room for the terminating zero.
constexpr DWORD kMaxRegistryName = 16384;

std::string WithoutLeadingSeparator(const std::string& path) {
    return !path.empty() && path.front() == '\\' ? path.substr(1) : path;
}

class SystemRegistryKey final : public RegistryKey {
public:
    explicit SystemRegistryKey(HKEY key) : key_(key) {}
    ~SystemRegistryKey() override { ::RegCloseKey(key_); }
    SystemRegistryKey(const SystemRegistryKey&) = delete;
    SystemRegistryKey& operator=(const SystemRegistryKey&) = delete;

    std::vector<std::string> ValueNames() override {
        return Names([this](DWORD index, char* name, DWORD* length) {
            return ::RegEnumValueA(key_, index, name, length, nullptr, nullptr, nullptr, nullptr);
        });
    }

    std::vector<std::string> SubKeyNames() override {
        return Names([this](DWORD index, char* name, DWORD* length) {
            return ::RegEnumKeyExA(key_, index, name, length, nullptr, nullptr, nullptr, nullptr);
        });
    }

    RegValueType TypeOf(const std::string& name) override {
        DWORD type = REG_NONE;
        if (::RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS)
            return RegValueType::Missing;
        switch (type) {
        case REG_SZ: return RegValueType::String;
        case REG_BINARY: return RegValueType::Binary;
        default: return RegValueType::Other;
        }
    }

    std::optional<std::string> ReadString(const std::string& name) override {
        auto bytes = Read(name, REG_SZ);
        if (!bytes) return std::nullopt;
        // A stored string need not end in a zero byte; one that does ends there.
        const auto end = bytes->find('\0');
        if (end != std::string::npos) bytes->resize(end);
        return bytes;
    }

    std::optional<std::string> ReadBinary(const std::string& name) override { return Read(name, REG_BINARY); }

private:
    template <typename Enum>
    static std::vector<std::string> Names(Enum enumerate) {
        std::vector<std::string> names;
        std::vector<char> buffer(kMaxRegistryName);
        for (DWORD index = 0;; ++index) {
            DWORD length = kMaxRegistryName;
            const LSTATUS status = enumerate(index, buffer.data(), &length);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status != ERROR_SUCCESS) break;  // the key changed or went away: stop here
            names.emplace_back(buffer.data(), length);
        }
        return names;
    }

    // The value's bytes when it has the type wanted. The value may grow between the size query
    // and the read; the read is then tried again with the new size.
    std::optional<std::string> Read(const std::string& name, DWORD wanted) {
        constexpr int kAttempts = 4;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            DWORD type = REG_NONE;
            DWORD size = 0;
            if (::RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
                type != wanted)
                return std::nullopt;
            std::string bytes(size, '\0');
            const LSTATUS status =
                ::RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size);
            if (status == ERROR_MORE_DATA) continue;
            if (status != ERROR_SUCCESS || type != wanted) return std::nullopt;
            bytes.resize(size);
            return bytes;
        }
        return std::nullopt;
    }

    HKEY key_;
};

class SystemRegistry final : public RegistryView {
public:
    SystemRegistry(HKEY root, std::string base) : root_(root), base_(WithoutLeadingSeparator(base)) {}

    std::unique_ptr<RegistryKey> OpenReadOnly(const std::string& path) override {
        std::string full = base_;
        const std::string relative = WithoutLeadingSeparator(path);
        if (!full.empty() && !relative.empty()) full += '\\';
        full += relative;
        HKEY key = nullptr;
        if (::RegOpenKeyExA(root_, full.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
        return std::make_unique<SystemRegistryKey>(key);
    }

private:
    HKEY root_;
    std::string base_;
};

}  // namespace

SystemVersion RunningSystemVersion() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // the classic record of 148 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(&info)) return {};
#pragma GCC diagnostic pop
    return SystemVersion{true, static_cast<std::int32_t>(info.dwPlatformId), info.dwMajorVersion, info.dwMinorVersion};
}

std::unique_ptr<RegistryView> MakeSystemRegistry(RegistryRoot root, const std::string& base) {
    return std::make_unique<SystemRegistry>(root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                            base);
}

void ListSerialPorts(std::vector<std::string>& items) {
    auto registry = MakeSystemRegistry(RegistryRoot::LocalMachine);
    ListSerialPortsFromRegistry(items, RunningSystemVersion(), *registry);
}

}  // namespace sincrovia
