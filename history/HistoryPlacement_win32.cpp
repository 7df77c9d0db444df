// The user's data folder on Windows: %LOCALAPPDATA%\Sincrovia.
#include <cstdlib>
#include <filesystem>

#include "history/HistoryStore.h"

namespace sincrovia::history {

std::string UserDataFolder() {
    const char* local = std::getenv("LOCALAPPDATA");
    const char* profile = std::getenv("USERPROFILE");
    const std::filesystem::path base = local != nullptr    ? std::filesystem::path(local)
                                       : profile != nullptr ? std::filesystem::path(profile) / "AppData" / "Local"
                                                            : std::filesystem::temp_directory_path();
    return (base / "Sincrovia").string();
}

}  // namespace sincrovia::history
