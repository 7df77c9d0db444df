// The port list on Windows: the system registry read through the Windows calls (on a tree that
// the test writes below the current user's key), the running system's version, and the live
// list of the machine's ports.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/CommPortList.h"
#include "serial/CommPortRegistry.h"

namespace sincrovia {
namespace {

// A registry tree of the test's own below HKEY_CURRENT_USER, removed afterwards.
class RegistryTree : public ::testing::Test {
protected:
    void SetUp() override { base_ = "Software\\SincroviaTest\\" + std::to_string(::GetCurrentProcessId()); }
    void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, base_.c_str()); }

    // Writes one value, creating the key (path below the tree, '\'-separated).
    void Put(const std::string& path, const std::string& name, DWORD type, const std::string& data) {
        HKEY key = nullptr;
        const std::string full = base_ + path;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, full.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << full;
        ASSERT_EQ(::RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                   static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

    // A string as the registry usually stores it: with its terminating zero.
    static std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

    std::vector<std::string> List(const SystemVersion& version) {
        auto registry = MakeSystemRegistry(RegistryRoot::CurrentUser, base_);
        std::vector<std::string> items;
        ListSerialPortsFromRegistry(items, version, *registry);
        return items;
    }

    std::string base_;
};

TEST_F(RegistryTree, DeviceMapThroughTheSystemRegistry) {
    const std::string map = "\\hardware\\devicemap\\serialcomm";
    Put(map, "\\Device\\Serial0", REG_SZ, Sz("COM1"));
    Put(map, "\\Device\\Serial1", REG_DWORD, std::string("\x05\0\0\0", 4));
    Put(map, "\\Device\\Serial2", REG_EXPAND_SZ, Sz("COM8"));
    Put(map, "\\Device\\Serial3", REG_SZ, "COM12");  // stored without its terminating zero
    Put(map, "\\Device\\Serial4", REG_BINARY, "COM9");
    Put(map, "\\Device\\Serial5", REG_SZ, Sz("COM1"));
    EXPECT_EQ(List(SystemVersion{true, 2, 10, 0}), (std::vector<std::string>{"COM1", "COM12"}))
        << "only string values, each name once, in the registry's order";
}

TEST_F(RegistryTree, DeviceTreeThroughTheSystemRegistry) {
    const std::string classes = "\\System\\CurrentControlSet\\Services\\Class\\";
    Put(classes + "Ports\\0000", "PortSubClass", REG_BINARY, std::string(1, '\x01'));
    Put(classes + "Ports\\0001", "PortSubClass", REG_BINARY, std::string(1, '\0'));
    Put(classes + "Modem\\0000", "PortSubClass", REG_BINARY, std::string(1, '\x02'));
    const struct {
        const char* key;
        const char* cls;
        const char* driver;
        const char* port;
    } devices[] = {
        {"\\enum\\BIOS\\*PNP0501\\0C", "Ports", "Ports\\0000", "COM1"},
        {"\\enum\\BIOS\\*PNP0400\\0D", "Ports", "Ports\\0001", "LPT1"},  // subclass 0: no
        {"\\enum\\ISAPNP\\MODEM\\0", "modem", "Modem\\0000", "COM4"},
    };
    for (const auto& d : devices) {
        Put(d.key, "class", REG_SZ, Sz(d.cls));
        Put(d.key, "driver", REG_SZ, Sz(d.driver));
        Put(d.key, "portname", REG_SZ, Sz(d.port));
    }
    EXPECT_EQ(List(SystemVersion{true, 1, 4, 10}), (std::vector<std::string>{"COM1", "COM4"}));
}

TEST_F(RegistryTree, MissingTreeListsNothing) {
    EXPECT_TRUE(List(SystemVersion{true, 2, 10, 0}).empty());
    EXPECT_TRUE(List(SystemVersion{true, 1, 4, 10}).empty());
}

TEST(SystemVersionTest, RunningSystemIsOfTheNtFamily) {
    const SystemVersion v = RunningSystemVersion();
    ASSERT_TRUE(v.known);
    EXPECT_EQ(v.platformId, VER_PLATFORM_WIN32_NT);
    EXPECT_GE(v.major, 5u);
}

// The machine's own list. The test script maps pseudo-terminals as COM ports and names one of
// them in SINCROVIA_TEST_LISTED_PORT; elsewhere the list is only checked for its form.
TEST(LivePortListTest, ListsTheMachinesPortsOnce) {
    std::vector<std::string> items{"already here"};
    ListSerialPorts(items);
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.front(), "already here") << "the list is appended to, not cleared";
    std::vector<std::string> sorted = items;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "no name twice";
    const auto again = items;
    ListSerialPorts(items);
    EXPECT_EQ(items, again) << "a second call adds nothing";
    if (const char* expected = std::getenv("SINCROVIA_TEST_LISTED_PORT")) {
        EXPECT_NE(std::find(items.begin(), items.end(), std::string(expected)), items.end())
            << expected << " is mapped on this machine";
    }
}

}  // namespace
}  // namespace sincrovia
