#include <filesystem>
#include <system_error>

#include "decoder_link/LinkSettings.h"

namespace sincrovia {

std::string ProgramFolder() {
    // The kernel names the running program file; when it cannot (no /proc), the working
    // folder stands in, as it does for a program started from its own folder.
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::filesystem::path folder =
        ec ? std::filesystem::current_path(ec) : exe.parent_path();
    std::string text = folder.string();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

}  // namespace sincrovia
