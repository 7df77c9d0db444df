// The port list over a fake /sys/class/tty and a fake folder of virtual ports: which entries
// are serial lines, the order of discovery, and how names join a list that already has some.
#include "serial/CommPortList.h"
#include "serial/UsbAdapter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace sincrovia {
namespace {
namespace fs = std::filesystem;

// A character device every test machine has, standing for a pseudo-terminal.
constexpr const char* kSomeCharacterDevice = "/dev/null";

class FakeTree {
public:
    FakeTree() {
        std::string pattern = (fs::temp_directory_path() / "portlist-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        if (made == nullptr) throw std::runtime_error("no temporary folder");
        root_ = made;
        fs::create_directories(TtyClass());
        fs::create_directories(Devices());
        fs::create_directories(Virtual());
    }
    ~FakeTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    fs::path TtyClass() const { return root_ / "sys" / "class" / "tty"; }
    fs::path Devices() const { return root_ / "sys" / "devices"; }
    fs::path Virtual() const { return root_ / "ports"; }

    // A tty entry; withDevice adds the backing-device link; type (if not null) the attribute.
    void AddTty(const std::string& name, bool withDevice, const char* type = nullptr) {
        const fs::path entry = TtyClass() / name;
        fs::create_directories(entry);
        if (withDevice) {
            const fs::path device = Devices() / ("dev-" + name);
            fs::create_directories(device);
            fs::create_directory_symlink(device, entry / "device");
        }
        if (type != nullptr) std::ofstream(entry / "type") << type;
    }
    void AddVirtualLink(const std::string& name, const fs::path& target) {
        fs::create_symlink(target, Virtual() / name);
    }
    fs::path ById() const { return root_ / "dev" / "serial" / "by-id"; }
    fs::path Root() const { return root_; }
    PortListSources Sources() const { return {TtyClass().string(), Virtual().string(), ById().string()}; }

private:
    fs::path root_;
};

TEST(CommPortListTest, OnlyDeviceBackedKnownPortsAreRealLines) {
    FakeTree tree;
    tree.AddTty("console", false);
    tree.AddTty("ptmx", false);
    tree.AddTty("tty0", false);
    tree.AddTty("tty12", false);
    tree.AddTty("ttyS0", true, "4\n");
    tree.AddTty("ttyS1", true, "0\n");  // placeholder of the 8250 driver, no UART
    tree.AddTty("ttyS10", true, "4\n");
    tree.AddTty("ttyS2", true, "garbage");  // unreadable type: listed rather than hidden
    tree.AddTty("ttyUSB0", true);
    tree.AddTty("ttyACM0", true);
    tree.AddTty("ttyS5", false, "4\n");  // no backing device
    std::vector<std::string> items;
    ListSerialPorts(items, tree.Sources());
    EXPECT_EQ(items, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));
}

TEST(CommPortListTest, VirtualPortsAreLiveLinksToCharacterDevicesInNameOrder) {
    FakeTree tree;
    tree.AddVirtualLink("sim2", kSomeCharacterDevice);
    tree.AddVirtualLink("Decoder-A", kSomeCharacterDevice);
    tree.AddVirtualLink("sim1", kSomeCharacterDevice);
    tree.AddVirtualLink("gone", tree.Virtual() / "no-such-target");  // simulator has ended
    tree.AddVirtualLink("folder-link", tree.Devices());              // not a device
    tree.AddVirtualLink(".hidden", kSomeCharacterDevice);
    std::ofstream(tree.Virtual() / "plain-file") << "x";
    fs::create_directories(tree.Virtual() / "subfolder");
    tree.AddTty("ttyUSB0", true);
    std::vector<std::string> items;
    ListSerialPorts(items, tree.Sources());
    // Real lines first, then the virtual ports.
    EXPECT_EQ(items, (std::vector<std::string>{"ttyUSB0", "Decoder-A", "sim1", "sim2"}));
}

struct AppendCase {
    const char* legend;
    std::vector<std::string> before;
    int calls;
    std::vector<std::string> after;
};

TEST(CommPortListTest, AppendsOnlyUnseenNamesWithoutClearingOrSorting) {
    FakeTree tree;
    tree.AddTty("ttyS0", true, "4");
    tree.AddTty("ttyUSB0", true);
    tree.AddVirtualLink("sim1", kSomeCharacterDevice);
    const AppendCase cases[] = {
        {"empty list", {}, 1, {"ttyS0", "ttyUSB0", "sim1"}},
        {"list already holding one of them", {"ttyUSB0"}, 1, {"ttyUSB0", "ttyS0", "sim1"}},
        {"foreign names stay, unsorted, in front", {"zz", "aa"}, 1, {"zz", "aa", "ttyS0", "ttyUSB0", "sim1"}},
        {"second call without clearing adds nothing", {}, 2, {"ttyS0", "ttyUSB0", "sim1"}},
        {"list holding everything", {"sim1", "ttyUSB0", "ttyS0"}, 1, {"sim1", "ttyUSB0", "ttyS0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::vector<std::string> items = c.before;
        for (int i = 0; i < c.calls; ++i) ListSerialPorts(items, tree.Sources());
        EXPECT_EQ(items, c.after);
    }
}

TEST(CommPortListTest, MissingFoldersAddNothingAndRaiseNothing) {
    const PortListSources nowhere{"/nonexistent/sys/class/tty", "/nonexistent/ports"};
    std::vector<std::string> items{"kept"};
    EXPECT_NO_THROW(ListSerialPorts(items, nowhere));
    EXPECT_EQ(items, std::vector<std::string>{"kept"});
}

// The live system: whatever it has, the call must not throw, must not repeat a name and must
// keep what the list held.
TEST(CommPortListTest, LiveSystemListsDistinctNames) {
    std::vector<std::string> items{"kept"};
    EXPECT_NO_THROW(ListSerialPorts(items));
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.front(), "kept");
    for (size_t i = 0; i < items.size(); ++i) {
        for (size_t j = i + 1; j < items.size(); ++j) EXPECT_NE(items[i], items[j]);
    }
}

struct OrderCase {
    const char* legend;
    std::string a;
    std::string b;
    bool less;
};

TEST(CommPortListTest, PortNamesCompareNaturally) {
    const OrderCase cases[] = {
        {"single digits", "ttyS1", "ttyS2", true},
        {"2 before 10", "ttyS2", "ttyS10", true},
        {"10 after 9", "ttyS10", "ttyS9", false},
        {"prefix decides first", "ttyACM9", "ttyS0", true},
        {"shorter prefix first", "ttyS", "ttyS0", true},
        {"equal names", "ttyUSB0", "ttyUSB0", false},
        {"leading zeros: same value, fewer zeros first", "ttyS1", "ttyS01", true},
        {"leading zeros: reverse", "ttyS01", "ttyS1", false},
        {"digits inside the name", "a2b", "a10a", true},
        {"large numbers", "ttyS99999999999999999998", "ttyS99999999999999999999", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(PortNameLess(c.a, c.b), c.less);
    }
}

// Stable names of USB adapters join the list right after the line they lead to, and the
// adapter's latency timer is read from the device's sysfs folder.
TEST(UsbAdapterTest, StableNamesAndLatencyTimer) {
    FakeTree tree;
    tree.AddTty("ttyUSB0", true);
    tree.AddTty("ttyUSB1", true);
    fs::create_directories(tree.ById());
    fs::create_symlink("../../ttyUSB1", tree.ById() / "usb-FTDI_FT232R_A1-if00-port0");
    std::vector<std::string> items;
    ListSerialPorts(items, tree.Sources());
    EXPECT_EQ(items, (std::vector<std::string>{"ttyUSB0", "ttyUSB1", "serial/by-id/usb-FTDI_FT232R_A1-if00-port0"}));

    const fs::path dev = tree.Root() / "dev";
    std::ofstream(dev / "ttyUSB1").put('\0');
    const DeviceRoots roots{(tree.Root() / "sys").string()};
    const std::string byId = (tree.ById() / "usb-FTDI_FT232R_A1-if00-port0").string();
    struct Case {
        const char* legend;
        const char* timer;  // nullptr: no attribute
        int ms;
        const char* advice;  // part of the memo line, or "" for none
    };
    const Case cases[] = {
        {"no latency timer: not an adapter that has one", nullptr, -1, ""},
        {"the default 16 ms is told with the way to lower it", "16\n", 16, "echo 1 | sudo tee"},
        {"1 ms is only told", "1\n", 1, "latency timer 1 ms"},
    };
    for (const Case& c : cases) {
        const fs::path attribute = tree.Devices() / "dev-ttyUSB1" / "latency_timer";
        fs::remove(attribute);
        if (c.timer != nullptr) std::ofstream(attribute) << c.timer;
        EXPECT_EQ(AdapterLatencyTimerMs(byId, roots), c.ms) << c.legend;
        const std::string advice = LatencyTimerAdvice(byId, roots);
        EXPECT_EQ(advice.empty(), *c.advice == '\0') << c.legend;
        EXPECT_NE(advice.find(c.advice), std::string::npos) << c.legend << ": " << advice;
    }
}

TEST(UsbAdapterTest, RefusedPermissionNamesTheDevicesGroup) {
    const std::string advice = OpenFailureAdvice("/dev/null", EACCES);
    EXPECT_NE(advice.find("add your user to the group root and log in again"), std::string::npos) << advice;
    EXPECT_EQ(OpenFailureAdvice("/dev/null", ENOENT), "");
}

}  // namespace
}  // namespace sincrovia
