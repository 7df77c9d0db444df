#include <windows.h>

#include "decoder_link/LinkSettings.h"

namespace sincrovia {

std::string ProgramFolder() {
    // The program file's full path, grown until it fits; its folder keeps the separator.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".\\") : path.substr(0, separator + 1);
}

}  // namespace sincrovia
