// The port list's walk over the registry, on a made-up registry: which method each system
// version gets, which values count as ports, the device-tree rules of the old consumer systems,
// and that names already listed are not added twice.
#include "serial/CommPortRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace sincrovia {
namespace {

// A value of the made-up registry.
struct FakeValue {
    std::string name;
    RegValueType type;
    std::string data;
};

// A registry of keys by full path, compared as written. Keys keep their values and sub-keys in
// the order given.
class FakeRegistry : public RegistryView {
public:
    struct Key {
        std::vector<FakeValue> values;
        std::vector<std::string> subKeys;
        bool openable = true;
    };

    // Adds a key and its missing ancestors; each parent learns the sub-key name.
    Key& Add(const std::string& path) {
        const auto cut = path.find_last_of('\\');
        if (cut != std::string::npos && cut > 0) {
            auto& parent = Add(path.substr(0, cut));
            const std::string name = path.substr(cut + 1);
            if (std::find(parent.subKeys.begin(), parent.subKeys.end(), name) == parent.subKeys.end())
                parent.subKeys.push_back(name);
        }
        return keys_[path];
    }

    std::unique_ptr<RegistryKey> OpenReadOnly(const std::string& path) override {
        opened.push_back(path);
        const auto it = keys_.find(path);
        if (it == keys_.end() || !it->second.openable) return nullptr;
        return std::make_unique<FakeKey>(it->second);
    }

    std::vector<std::string> opened;

private:
    class FakeKey : public RegistryKey {
    public:
        explicit FakeKey(const Key& key) : key_(key) {}
        std::vector<std::string> ValueNames() override {
            std::vector<std::string> names;
            for (const auto& v : key_.values) names.push_back(v.name);
            return names;
        }
        std::vector<std::string> SubKeyNames() override { return key_.subKeys; }
        RegValueType TypeOf(const std::string& name) override {
            const FakeValue* v = Find(name);
            return v == nullptr ? RegValueType::Missing : v->type;
        }
        std::optional<std::string> ReadString(const std::string& name) override {
            const FakeValue* v = Find(name);
            if (v == nullptr || v->type != RegValueType::String) return std::nullopt;
            return v->data;
        }
        std::optional<std::string> ReadBinary(const std::string& name) override {
            const FakeValue* v = Find(name);
            if (v == nullptr || v->type != RegValueType::Binary) return std::nullopt;
            return v->data;
        }

    private:
        const FakeValue* Find(const std::string& name) const {
            for (const auto& v : key_.values)
                if (v.name == name) return &v;
            return nullptr;
        }
        const Key& key_;
    };

    std::map<std::string, Key> keys_;
};

const SystemVersion kNt4{true, 2, 4, 0};
const SystemVersion k95{true, 1, 4, 0};
const SystemVersion k98{true, 1, 4, 10};
const SystemVersion kMe{true, 1, 4, 90};
const SystemVersion kXp{true, 2, 5, 1};
const SystemVersion k10{true, 2, 10, 0};

const std::string kDeviceMap = kSerialDeviceMapKey;

// A registry with both places filled: the device map lists COM1 and COM2, the device tree of
// the old systems lists COM7.
FakeRegistry BothPlaces() {
    FakeRegistry reg;
    reg.Add(kDeviceMap).values = {{"\\Device\\Serial0", RegValueType::String, "COM1"},
                                  {"\\Device\\Serial1", RegValueType::String, "COM2"}};
    reg.Add("\\enum\\ACPI\\PNP0501").values = {{"class", RegValueType::String, "Ports"},
                                               {"driver", RegValueType::String, "Ports\\0000"},
                                               {"portname", RegValueType::String, "COM7"}};
    reg.Add(std::string(kDriverClassKey) + "Ports\\0000").values = {
        {"PortSubClass", RegValueType::Binary, std::string(1, '\x01')}};
    return reg;
}

TEST(CommPortRegistryTest, TheSystemVersionChoosesTheMethod) {
    const struct {
        const char* legend;
        SystemVersion version;
        std::vector<std::string> want;
    } cases[] = {
        {"version query failed", SystemVersion{}, {}},
        {"platform identifier 0 (the old 16-bit layer)", {true, 0, 4, 0}, {}},
        {"negative platform identifier", {true, -1, 5, 0}, {}},
        {"a system before version 4", {true, 2, 3, 51}, {}},
        {"NT 4 reads the device map", kNt4, {"COM1", "COM2"}},
        {"95 reads the device map", k95, {"COM1", "COM2"}},
        {"98 walks the device tree", k98, {"COM7"}},
        {"Me walks the device tree", kMe, {"COM7"}},
        {"XP reads the device map", kXp, {"COM1", "COM2"}},
        {"10 reads the device map", k10, {"COM1", "COM2"}},
    };
    for (const auto& c : cases) {
        FakeRegistry reg = BothPlaces();
        std::vector<std::string> items;
        ListSerialPortsFromRegistry(items, c.version, reg);
        EXPECT_EQ(items, c.want) << c.legend;
    }
}

TEST(CommPortRegistryTest, DeviceMapValues) {
    const struct {
        const char* legend;
        std::vector<FakeValue> values;
        std::vector<std::string> before;
        std::vector<std::string> want;
    } cases[] = {
        {"string values in registry order, not sorted",
         {{"a", RegValueType::String, "COM9"},
          {"b", RegValueType::String, "COM10"},
          {"c", RegValueType::String, "COM3"}},
         {},
         {"COM9", "COM10", "COM3"}},
        {"a binary value is skipped",
         {{"a", RegValueType::Binary, "COM4"}, {"b", RegValueType::String, "COM5"}},
         {},
         {"COM5"}},
        {"a value of another type (a number, an expandable string) is skipped",
         {{"a", RegValueType::Other, "COM4"}, {"b", RegValueType::String, "COM6"}},
         {},
         {"COM6"}},
        {"a name the list already holds is not added again",
         {{"a", RegValueType::String, "COM1"}, {"b", RegValueType::String, "COM2"}},
         {"COM1"},
         {"COM1", "COM2"}},
        {"the list is neither cleared nor sorted",
         {{"a", RegValueType::String, "COM1"}},
         {"ZZZ", "AAA"},
         {"ZZZ", "AAA", "COM1"}},
        {"two values naming one port give one entry",
         {{"a", RegValueType::String, "COM1"}, {"b", RegValueType::String, "COM1"}},
         {},
         {"COM1"}},
        {"an empty device map adds nothing", {}, {"COM1"}, {"COM1"}},
    };
    for (const auto& c : cases) {
        FakeRegistry reg;
        reg.Add(kDeviceMap).values = c.values;
        std::vector<std::string> items = c.before;
        ListSerialPortsFromRegistry(items, kXp, reg);
        EXPECT_EQ(items, c.want) << c.legend;
    }
}

TEST(CommPortRegistryTest, CallingTwiceAddsNothingTheSecondTime) {
    FakeRegistry reg = BothPlaces();
    for (const SystemVersion& v : {kXp, k98}) {
        std::vector<std::string> items;
        ListSerialPortsFromRegistry(items, v, reg);
        const auto once = items;
        ListSerialPortsFromRegistry(items, v, reg);
        EXPECT_EQ(items, once);
    }
}

TEST(CommPortRegistryTest, MissingDeviceMapAddsNothing) {
    FakeRegistry reg;
    std::vector<std::string> items{"COM1"};
    ListSerialPortsFromRegistry(items, kXp, reg);
    EXPECT_EQ(items, std::vector<std::string>{"COM1"});
}

// One device key of the old systems' device tree and its driver key.
struct DeviceCase {
    const char* legend;
    std::vector<FakeValue> device;
    std::vector<FakeValue> driver;  // below the driver folder, key "Ports\0000"
    bool listed;
};

TEST(CommPortRegistryTest, DeviceTreeKeys) {
    const FakeValue ports{"class", RegValueType::String, "Ports"};
    const FakeValue driver{"driver", RegValueType::String, "Ports\\0000"};
    const FakeValue name{"portname", RegValueType::String, "COM3"};
    const FakeValue serial{"PortSubClass", RegValueType::Binary, std::string(1, '\x01')};
    const DeviceCase cases[] = {
        {"a serial port", {ports, driver, name}, {serial}, true},
        {"a modem (subclass 2)",
         {{"class", RegValueType::String, "Modem"}, driver, name},
         {{"PortSubClass", RegValueType::Binary, std::string(1, '\x02')}},
         true},
        {"the class is compared without regard to case",
         {{"class", RegValueType::String, "PORTS"}, driver, name},
         {serial},
         true},
        {"another class (a printer)", {{"class", RegValueType::String, "Printer"}, driver, name}, {serial}, false},
        {"a class that is no string", {{"class", RegValueType::Binary, "Ports"}, driver, name}, {serial}, false},
        {"no class at all", {driver, name}, {serial}, false},
        {"no driver value", {ports, name}, {serial}, false},
        {"no port name", {ports, driver}, {serial}, false},
        {"a port name that is no string", {ports, driver, {"portname", RegValueType::Binary, "COM3"}}, {serial}, false},
        {"a parallel port (subclass 0)",
         {ports, driver, name},
         {{"PortSubClass", RegValueType::Binary, std::string(1, '\0')}},
         false},
        {"subclass 3", {ports, driver, name}, {{"PortSubClass", RegValueType::Binary, std::string(1, '\x03')}}, false},
        {"a subclass of two bytes",
         {ports, driver, name},
         {{"PortSubClass", RegValueType::Binary, std::string("\x01\x00", 2)}},
         false},
        {"an empty subclass", {ports, driver, name}, {{"PortSubClass", RegValueType::Binary, ""}}, false},
        {"a subclass that is no binary value",
         {ports, driver, name},
         {{"PortSubClass", RegValueType::String, "\x01"}},
         false},
        {"a driver key without subclass", {ports, driver, name}, {}, false},
    };
    for (const auto& c : cases) {
        FakeRegistry reg;
        reg.Add("\\enum\\BIOS\\*PNP0500\\0D").values = c.device;
        reg.Add(std::string(kDriverClassKey) + "Ports\\0000").values = c.driver;
        std::vector<std::string> items;
        ListSerialPortsFromRegistry(items, k98, reg);
        EXPECT_EQ(items, c.listed ? std::vector<std::string>{"COM3"} : std::vector<std::string>{}) << c.legend;
    }
}

TEST(CommPortRegistryTest, DeviceTreeIsWalkedDepthFirstInRegistryOrder) {
    FakeRegistry reg;
    auto device = [&](const std::string& path, const std::string& port) {
        reg.Add(path).values = {{"class", RegValueType::String, "ports"},
                                {"driver", RegValueType::String, "Ports\\0000"},
                                {"portname", RegValueType::String, port}};
    };
    reg.Add(std::string(kDriverClassKey) + "Ports\\0000").values = {
        {"PortSubClass", RegValueType::Binary, std::string(1, '\x01')}};
    // Added in this order: B's children come before C, and a key comes before its children.
    device("\\enum\\B", "COM2");
    device("\\enum\\B\\x", "COM5");
    device("\\enum\\B\\x\\deep", "COM6");
    device("\\enum\\C", "COM1");
    device("\\enum\\A", "COM9");
    std::vector<std::string> items;
    ListSerialPortsFromRegistry(items, k98, reg);
    EXPECT_EQ(items, (std::vector<std::string>{"COM2", "COM5", "COM6", "COM1", "COM9"}));
}

TEST(CommPortRegistryTest, KeyThatCannotBeOpenedHidesItsSubtreeOnly) {
    FakeRegistry reg;
    reg.Add(std::string(kDriverClassKey) + "d").values = {
        {"PortSubClass", RegValueType::Binary, std::string(1, '\x01')}};
    auto device = [&](const std::string& path, const std::string& port) -> FakeRegistry::Key& {
        auto& key = reg.Add(path);
        key.values = {{"class", RegValueType::String, "Ports"},
                      {"driver", RegValueType::String, "d"},
                      {"portname", RegValueType::String, port}};
        return key;
    };
    device("\\enum\\Locked", "COM1").openable = false;
    device("\\enum\\Locked\\Inner", "COM2");
    device("\\enum\\Open", "COM3");
    std::vector<std::string> items;
    ListSerialPortsFromRegistry(items, k98, reg);
    EXPECT_EQ(items, std::vector<std::string>{"COM3"});
}

TEST(CommPortRegistryTest, EndlessNestingIsCutOff) {
    // A registry whose keys nest without end (as a loop of links would): every key has one
    // sub-key "x". The walk must end, having looked at a bounded number of keys.
    class Endless : public RegistryView {
    public:
        int opens = 0;
        std::unique_ptr<RegistryKey> OpenReadOnly(const std::string&) override {
            ++opens;
            return std::make_unique<EndlessKey>();
        }

    private:
        struct EndlessKey : RegistryKey {
            std::vector<std::string> ValueNames() override { return {}; }
            std::vector<std::string> SubKeyNames() override { return {"x"}; }
            RegValueType TypeOf(const std::string&) override { return RegValueType::Missing; }
            std::optional<std::string> ReadString(const std::string&) override { return std::nullopt; }
            std::optional<std::string> ReadBinary(const std::string&) override { return std::nullopt; }
        };
    } reg;
    std::vector<std::string> items;
    ListSerialPortsFromRegistry(items, k98, reg);
    EXPECT_TRUE(items.empty());
    EXPECT_GT(reg.opens, 8) << "real device trees are several levels deep";
    EXPECT_LT(reg.opens, 1000);
}

}  // namespace
}  // namespace sincrovia
