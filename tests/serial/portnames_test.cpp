// Port names to device paths, and where virtual ports live.
#include "serial/PortNames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

namespace sincrovia {
namespace {
namespace fs = std::filesystem;

// Sets or unsets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct FolderCase {
    const char* legend;
    const char* runtimeDir;  // nullptr: unset
    std::string expected;
};

TEST(PortNamesTest, VirtualPortFolderFollowsTheRuntimeFolder) {
    const std::string fallback = "/tmp/sincrovia-ports-" + std::to_string(getuid());
    const FolderCase cases[] = {
        {"runtime folder set", "/run/user/1000", "/run/user/1000/sincrovia-ports"},
        {"runtime folder with a trailing slash", "/run/user/1000/", "/run/user/1000/sincrovia-ports"},
        {"runtime folder empty", "", fallback},
        {"runtime folder unset", nullptr, fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        ScopedEnv env("XDG_RUNTIME_DIR", c.runtimeDir);
        EXPECT_EQ(VirtualPortFolder(), c.expected);
    }
}

struct PathCase {
    const char* legend;
    std::string name;
    std::string expected;  // "@" stands for the virtual folder
};

TEST(PortNamesTest, DevicePathForPort) {
    std::string pattern = (fs::temp_directory_path() / "portnames-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path runtime = pattern;
    ScopedEnv env("XDG_RUNTIME_DIR", runtime.c_str());
    const fs::path folder = runtime / "sincrovia-ports";
    fs::create_directories(folder);
    fs::create_symlink("/dev/null", folder / "sim1");
    fs::create_symlink(folder / "nowhere", folder / "gone");
    fs::create_symlink("/dev/null", folder / "ttyS0");

    const PathCase cases[] = {
        {"real line", "ttyUSB0", "/dev/ttyUSB0"},
        {"virtual port", "sim1", "@/sim1"},
        {"dangling virtual port still leads to its link", "gone", "@/gone"},
        {"virtual port shadowing a device name", "ttyS0", "@/ttyS0"},
        {"absolute path kept", "/dev/pts/7", "/dev/pts/7"},
        {"sub-path stays below /dev", "pts/3", "/dev/pts/3"},
        {"a relative escape is not looked up in the folder", "../sincrovia-ports/sim1", "/dev/../sincrovia-ports/sim1"},
        {"empty name", "", "/dev/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        std::string expected = c.expected;
        if (!expected.empty() && expected.front() == '@') expected = folder.string() + expected.substr(1);
        EXPECT_EQ(DevicePathForPort(c.name), expected);
    }
    std::error_code ec;
    fs::remove_all(runtime, ec);
}

}  // namespace
}  // namespace sincrovia
