// The shell folders of the Windows design, as the XDG base directories of the user.
// Any thread; they read the environment and the file system only. On Windows they are the
// shell's own calls (platform/shell/KnownFolders_win.cpp): SHGetKnownFolderPath,
// SHGetFolderPathW, ExpandEnvironmentStringsW, PathFileExistsW, SHCreateDirectoryExW and
// PathAppendW (into MAX_PATH characters; a longer path gives empty), '/' in a component
// becoming '\'.
#ifndef ZVNET_PLATFORM_SHELL_KNOWNFOLDERS_H_
#define ZVNET_PLATFORM_SHELL_KNOWNFOLDERS_H_

#include <string>
#include <string_view>

// LocalAppDataLow: $XDG_DATA_HOME, else ~/.local/share; made with its parents when `create`
// is set. Empty without a home, or when it cannot be made.
std::wstring GetKnownFolderLocalAppDataLow(bool create);
// CSIDL_APPDATA: $XDG_CONFIG_HOME, else ~/.config; not made. Empty without a home.
std::wstring GetFolderPathAppData();
// "%APPDATA%" expanded: $HOME, or empty.
std::wstring ExpandAppDataVariable();

// PathFileExistsW.
bool PathFileExists(const std::wstring& path);
// SHCreateDirectoryExW: makes the folder and its missing parents; true when it exists after.
bool CreateDirectoryTree(const std::wstring& path);
// PathAppendW: `folder` followed by `component` with exactly one separator between them.
std::wstring PathAppend(std::wstring folder, std::wstring_view component);

#endif  // ZVNET_PLATFORM_SHELL_KNOWNFOLDERS_H_
