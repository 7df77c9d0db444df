// The program file's version: the record the build places in the file, and the scan that
// finds it again in any file.
#include "util/LeggiVerPrg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace sincrovia {
namespace {

class VersionFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("sincrovia_version_test_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& bytes) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    std::filesystem::path dir_;
};

// A record as the build lays it out, assembled at run time so that this test program holds
// no valid record of its own besides the build's.
std::string Record(const std::string& version) {
    return std::string(FileVersionMarker()) + version + std::string(1, '\0');
}

// True for four numbers joined by dots ("1.0.0.0").
bool IsFourNumbers(const std::string& text) {
    int numbers = 0;
    size_t digits = 0;
    for (const char c : text + ".") {
        if (c == '.') {
            if (digits == 0) return false;
            ++numbers;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            ++digits;
        } else {
            return false;
        }
    }
    return numbers == 4;
}

TEST(Version, TheRunningProgramCarriesTheBuildVersion) {
    const std::string built = BuiltFileVersion();
    EXPECT_TRUE(IsFourNumbers(built)) << built;
    EXPECT_EQ(FileVersionOf("/proc/self/exe"), built);
}

TEST_F(VersionFile, FindsTheRecordWhereverItLies) {
    const size_t chunk = size_t{1} << 20;  // the scan reads the file a megabyte at a time
    const std::string filler(100, 'x');
    const struct {
        const char* legend;
        std::string bytes;
        const char* want;
    } cases[] = {
        {"record at the start", Record("2.3.4.5") + filler, "2.3.4.5"},
        {"record in the middle of binary bytes",
         std::string("\x7F"
                     "ELF\0\0\x01",
                     7) +
             filler + Record("1.0.0.0") + filler,
         "1.0.0.0"},
        {"record at the very end", filler + Record("10.20.30.40"), "10.20.30.40"},
        {"record straddling two reads", std::string(chunk - 10, 'y') + Record("7.7.7.7") + filler, "7.7.7.7"},
        {"marker split by the end of the first read", std::string(chunk - 3, 'y') + Record("8.8.8.8"), "8.8.8.8"},
        {"record beginning exactly at the second read", std::string(chunk, 'y') + Record("9.9.9.9"), "9.9.9.9"},
        {"a marker followed by other text is skipped for the real record",
         std::string(FileVersionMarker()) + "hello" + filler + Record("3.1.4.1"), "3.1.4.1"},
        {"a marker followed at once by a zero is skipped", Record("") + filler + Record("2.7.1.8"), "2.7.1.8"},
        {"the first record wins", Record("1.1.1.1") + Record("2.2.2.2"), "1.1.1.1"},
        {"no record", filler, ""},
        {"empty file", "", ""},
        {"record without its zero byte at the end of the file", filler + std::string(FileVersionMarker()) + "1.2.3.4",
         ""},
        {"a version longer than any real one", Record(std::string(200, '1')), ""},
        {"marker without version at the end", filler + std::string(FileVersionMarker()), ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = Write("case" + std::to_string(n++), c.bytes);
        EXPECT_EQ(FileVersionOf(path), c.want) << c.legend;
    }
}

TEST_F(VersionFile, UnreadableNamesGiveAnEmptyVersion) {
    const struct {
        const char* legend;
        std::string name;
    } cases[] = {
        {"missing file", (dir_ / "missing").string()},
        {"a folder", dir_.string()},
        {"empty name", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FileVersionOf(c.name), "") << c.legend;
}

}  // namespace
}  // namespace sincrovia
