// Where the program keeps the files it writes ("MemCom.set", "Lapix.ini", the history
// database). Beside the program file when that folder is writable, as a program unpacked into a
// folder of its own expects; an installed program (/usr/bin, Program Files) cannot write
// there, so its files go to the user's own configuration and data folders instead.
#pragma once

#include <string>

namespace sincrovia {

/// Name of the program's folder inside the user's configuration and data folders.
inline constexpr char kUserFolderName[] = "sincrovia";

/// The rule: `programFolder` when `programFolderWritable`, else `userBase` + "sincrovia/".
/// Both results keep a trailing separator.
std::string ChooseFilesFolder(const std::string& programFolder, bool programFolderWritable,
                              const std::string& userBase);

/// Folder of "MemCom.set" and "Lapix.ini": the program's folder, or the user's configuration
/// folder ($XDG_CONFIG_HOME/sincrovia/, ~/.config/sincrovia/; %APPDATA%\sincrovia\), created
/// when missing.
std::string SettingsFolder();

/// Folder of the program's data (the history database): the program's folder, or the user's
/// data folder ($XDG_DATA_HOME/sincrovia/, ~/.local/share/sincrovia/; %LOCALAPPDATA%\sincrovia\),
/// created when missing.
std::string DataFolder();

// The platform's half (ProgramFolder_posix.cpp, ProgramFolder_win32.cpp).

/// Whether the program may create files in `folder`.
bool FolderWritable(const std::string& folder);
/// The user's base folder for configuration files, with its trailing separator.
std::string UserConfigBase();
/// The user's base folder for data files, with its trailing separator.
std::string UserDataBase();

}  // namespace sincrovia
