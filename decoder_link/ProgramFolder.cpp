#include "decoder_link/ProgramFolder.h"

#include <filesystem>
#include <system_error>

#include "decoder_link/LinkSettings.h"

namespace sincrovia {

namespace {

/// `folder` ending in a separator of the kind it already uses (Windows takes both).
std::string WithSeparator(std::string folder) {
    const char separator = folder.find('\\') != std::string::npos ? '\\' : '/';
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += separator;
    return folder;
}

/// The chosen folder, created when it is one of the user's folders and missing. A folder
/// that cannot be created is still answered: the writes that follow report the failure.
std::string FilesFolder(const std::string& userBase) {
    const std::string program = ProgramFolder();
    const bool writable = FolderWritable(program);
    const std::string folder = ChooseFilesFolder(program, writable, userBase);
    if (!writable) {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
    }
    return folder;
}

}  // namespace

std::string ChooseFilesFolder(const std::string& programFolder, bool programFolderWritable,
                              const std::string& userBase) {
    if (programFolderWritable) return WithSeparator(programFolder);
    return WithSeparator(WithSeparator(userBase) + kUserFolderName);
}

std::string SettingsFolder() { return FilesFolder(UserConfigBase()); }

std::string DataFolder() { return FilesFolder(UserDataBase()); }

}  // namespace sincrovia
