#include "frame/DataFolder.h"

#include <algorithm>

#include "platform/shell/KnownFolders.h"
#include "platform/shell/PrivateProfile.h"
#include "platform/shell/UserRegistry.h"

namespace {

constexpr wchar_t kFolderSuffix[] = L"Zarvo/ZarvoInput";

}  // namespace

std::wstring ReadDataFolderFromRegistry() {
  std::wstring folder;
  if (!QueryUserRegistryString(L"Software\\Zarvo\\ZarvoInput", L"AppData", &folder)) return {};
  return folder;
}

std::wstring FindDataFolder() {
  std::wstring folder = ReadDataFolderFromRegistry();
  if (folder.empty() && IsWindowsVistaOrLater()) {
    std::wstring known = GetKnownFolderLocalAppDataLow(/*create=*/true);
    if (!known.empty()) folder = PathAppend(std::move(known), kFolderSuffix);
  }
  if (folder.empty()) {
    std::wstring appData = GetFolderPathAppData();
    if (appData.empty()) appData = ExpandAppDataVariable();
    if (!appData.empty()) folder = PathAppend(std::move(appData), kFolderSuffix);
  }
  if (folder.empty()) return {};
  // A folder that cannot be made is not reported; reading the switch then finds no file.
  if (!PathFileExists(folder)) CreateDirectoryTree(folder);
  return folder;
}

void GetDataFolder(wchar_t* buffer) {
  if (buffer) buffer[0] = L'\0';
  std::wstring folder = FindDataFolder();
  if (!buffer) return;
  size_t length = std::min(folder.size(), kDataFolderChars - 1);
  std::copy_n(folder.data(), length, buffer);
  buffer[length] = L'\0';
}

std::wstring GetConfigFilePath() {
  std::wstring folder = FindDataFolder();
  if (folder.empty()) return {};
  return PathAppend(std::move(folder), L"config.ini");
}

bool ReadReportSwitch() {
  std::wstring config = GetConfigFilePath();
  if (config.empty()) return false;  // no folder: no file to read, the report stays off
  return static_cast<int>(GetPrivateProfileIntW(L"CFG", L"REPORT", 0, config.c_str())) == 1;
}

bool IsReportEnabled() {
  static const bool enabled = ReadReportSwitch();
  return enabled;
}

bool IsWindowsVistaOrLater() {
  return true;
}
