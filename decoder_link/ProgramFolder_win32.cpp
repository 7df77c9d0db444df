// The folder of the running program file on Windows, where the link keeps its settings file.
#include <windows.h>

#include <string>
#include <vector>

#include "decoder_link/LinkSettings.h"

namespace sincrovia {

namespace {
// Longest path the system hands out (its long-path limit), with room to spare.
constexpr std::size_t kLongestPath = 65536;
// Stand-in when the program file cannot be named: the working folder.
constexpr const char* kWorkingFolder = ".\\";
}  // namespace

std::string ProgramFolder() {
    // The path may be longer than the classic limit: grow the buffer until it fits.
    std::vector<char> path(MAX_PATH);
    while (path.size() <= kLongestPath) {
        const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return kWorkingFolder;
        if (length < path.size()) {
            std::string text(path.data(), length);
            const auto separator = text.find_last_of("\\/");
            return separator == std::string::npos ? kWorkingFolder : text.substr(0, separator + 1);
        }
        path.resize(path.size() * 2);
    }
    return kWorkingFolder;
}

}  // namespace sincrovia
