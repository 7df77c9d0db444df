#include <windows.h>

#include <cstdlib>

#include "decoder_link/LinkSettings.h"
#include "decoder_link/ProgramFolder.h"

namespace sincrovia {

namespace {

/// %`variable`% with a trailing separator; the program's folder when it is not set.
std::string EnvironmentBase(const char* variable) {
    const char* value = std::getenv(variable);
    std::string base = value != nullptr && value[0] != '\0' ? std::string(value) : ProgramFolder();
    if (base.back() != '\\' && base.back() != '/') base += '\\';
    return base;
}

}  // namespace

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

bool FolderWritable(const std::string& folder) {
    // Access rights on Windows are only known by trying: a probe file, gone when closed.
    const std::string probe = folder + "sincrovia-write-probe.tmp";
    const HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

std::string UserConfigBase() { return EnvironmentBase("APPDATA"); }

std::string UserDataBase() { return EnvironmentBase("LOCALAPPDATA"); }

}  // namespace sincrovia
