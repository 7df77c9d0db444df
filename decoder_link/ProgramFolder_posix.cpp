#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "decoder_link/LinkSettings.h"
#include "decoder_link/ProgramFolder.h"

namespace sincrovia {

namespace {

/// $`variable` when it holds an absolute path (the XDG rule: anything else is ignored), else
/// $HOME + `fallback`; always with a trailing separator.
std::string XdgBase(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string base = value != nullptr && value[0] == '/' ? std::string(value) : std::string();
    if (base.empty()) {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + fallback;
    }
    if (base.back() != '/') base += '/';
    return base;
}

}  // namespace

std::string ProgramFolder() {
    // The kernel names the running program file; when it cannot (no /proc), the working
    // folder stands in, as it does for a program started from its own folder.
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::filesystem::path folder = ec ? std::filesystem::current_path(ec) : exe.parent_path();
    std::string text = folder.string();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

bool FolderWritable(const std::string& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

std::string UserConfigBase() { return XdgBase("XDG_CONFIG_HOME", "/.config"); }

std::string UserDataBase() { return XdgBase("XDG_DATA_HOME", "/.local/share"); }

}  // namespace sincrovia
