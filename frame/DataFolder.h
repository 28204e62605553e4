// The per-user data folder and the report switch in its "config.ini" (section "CFG", key
// "REPORT"). Any thread. The switch is read once per process: a change to the file takes
// effect in the next process.
#ifndef ZVNET_FRAME_DATAFOLDER_H_
#define ZVNET_FRAME_DATAFOLDER_H_

#include <cstddef>
#include <string>

inline constexpr size_t kDataFolderChars = 260;  // the caller's buffer of GetDataFolder

// The registry value "AppData" of "Software\Zarvo\ZarvoInput" (ZVNET_APPDATA on Linux), or
// empty.
std::wstring ReadDataFolderFromRegistry();

// The whole folder: the registry value verbatim, else LocalAppDataLow/Zarvo/ZarvoInput, else
// AppData/Zarvo/ZarvoInput; made with its parents when missing. Empty when there is none.
std::wstring FindDataFolder();

// FindDataFolder into a buffer of kDataFolderChars (may be null), cut at 259 characters;
// left empty when there is no folder.
void GetDataFolder(wchar_t* buffer);

// "config.ini" in the data folder; empty when there is no folder.
std::wstring GetConfigFilePath();

// Reads the switch now: true when "REPORT" is exactly 1.
bool ReadReportSwitch();

// ReadReportSwitch, answered from the first call on for the life of the process.
bool IsReportEnabled();

// Always true on the platforms built for (Linux, and Windows 7 or later).
bool IsWindowsVistaOrLater();

#endif  // ZVNET_FRAME_DATAFOLDER_H_
