// The program file's version on Windows: the "FileVersion" text of the version resource that
// the build gives every program, found through the resource's translation table.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "util/LeggiVerPrg.h"

namespace sincrovia {
namespace {

std::string ThisProgram() {
    char path[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length);
}

// Four numbers joined by dots, as the build writes it.
bool IsFourNumbers(const std::string& text) {
    int dots = 0;
    bool digit = false;
    for (char c : text) {
        if (c == '.') {
            if (!digit) return false;
            ++dots;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return digit && dots == 3;
}

TEST(FileVersionTest, ThisProgramCarriesTheBuiltVersion) {
    const std::string version = FileVersionOf(ThisProgram());
    EXPECT_EQ(version, BuiltFileVersion());
    EXPECT_TRUE(IsFourNumbers(version)) << version;
}

TEST(FileVersionTest, TheResourceIsItalianInCodePage1252) {
    // The query the window's caption relies on, spelled out.
    const std::string file = ThisProgram();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(file.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string info(size, '\0');
    ASSERT_TRUE(::GetFileVersionInfoA(file.c_str(), 0, size, info.data()));
    void* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(info.data(), "\\StringFileInfo\\041004E4\\FileVersion", &text, &length));
    EXPECT_EQ(std::string(static_cast<const char*>(text)), BuiltFileVersion());
}

TEST(FileVersionTest, FilesWithoutAVersionGiveAnEmptyText) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("sincrovia-version-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    const auto plain = folder / "plain.txt";
    std::ofstream(plain) << "FileVersion 9.9.9.9 and no resource";
    const struct {
        const char* legend;
        std::string path;
    } cases[] = {
        {"a file that does not exist", (folder / "missing.exe").string()},
        {"a text file", plain.string()},
        {"an empty name", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(FileVersionOf(c.path), "") << c.legend;
    std::filesystem::remove_all(folder);
}

TEST(FileVersionTest, ACopyOfTheProgramKeepsItsVersion) {
    const auto copy = std::filesystem::temp_directory_path() /
                      ("sincrovia-version-copy-" + std::to_string(::GetCurrentProcessId()) + ".exe");
    std::filesystem::copy_file(ThisProgram(), copy, std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(FileVersionOf(copy.string()), BuiltFileVersion());
    std::filesystem::remove(copy);
}

}  // namespace
}  // namespace sincrovia
