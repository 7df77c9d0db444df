// Where the store file goes: beside the program like the other files it keeps, unless that
// folder refuses new files (an installed program), then in the user's data folder.
#include <filesystem>
#include <fstream>
#include <system_error>

#include "history/HistoryStore.h"

namespace sincrovia::history {

namespace {

constexpr char kProbeName[] = ".sincrovia-write-probe";

/// True when a file can be created in `folder` (the probe is removed again).
bool CanCreateFilesIn(const std::filesystem::path& folder) {
    const std::filesystem::path probe = folder / kProbeName;
    {
        std::ofstream out(probe, std::ios::binary | std::ios::trunc);
        if (!out) return false;
    }
    std::error_code ignored;
    std::filesystem::remove(probe, ignored);
    return true;
}

}  // namespace

std::string StorePath(const std::string& programFolder) {
    const std::filesystem::path beside = std::filesystem::path(programFolder) / kStoreFileName;
    std::error_code ec;
    if (std::filesystem::exists(beside, ec)) {
        // An existing store that can be written stays where it is.
        std::ofstream probe(beside, std::ios::binary | std::ios::app);
        if (probe) return beside.string();
    } else if (CanCreateFilesIn(programFolder)) {
        return beside.string();
    }
    const std::filesystem::path user = UserDataFolder();
    std::filesystem::create_directories(user, ec);
    return (user / kStoreFileName).string();
}

}  // namespace sincrovia::history
