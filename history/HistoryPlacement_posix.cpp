// The user's data folder on POSIX systems: $XDG_DATA_HOME/sincrovia, else
// ~/.local/share/sincrovia.
#include <cstdlib>
#include <filesystem>

#include "history/HistoryStore.h"

namespace sincrovia::history {

std::string UserDataFolder() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/')
        return (std::filesystem::path(xdg) / "sincrovia").string();
    const char* home = std::getenv("HOME");
    return (std::filesystem::path(home != nullptr ? home : "/tmp") / ".local" / "share" / "sincrovia").string();
}

}  // namespace sincrovia::history
