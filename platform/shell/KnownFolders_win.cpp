// Windows: the shell's folders and path calls themselves.
#include "platform/shell/KnownFolders.h"

#include "platform/win32/WinTypes.h"

#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>
// shlwapi.h names its calls' A/W forms through macros of the library's own function names.
#undef PathAppend
#undef PathFileExists

#include <algorithm>
#include <memory>

namespace {

struct CoTaskMemDeleter {
  void operator()(wchar_t* text) const { ::CoTaskMemFree(text); }
};

}  // namespace

std::wstring GetKnownFolderLocalAppDataLow(bool create) {
  wchar_t* found = nullptr;
  const DWORD flags = create ? static_cast<DWORD>(KF_FLAG_CREATE) : 0;
  const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, flags, nullptr, &found);
  std::unique_ptr<wchar_t, CoTaskMemDeleter> owned(found);  // freed on failure too
  if (FAILED(result) || !found) return {};
  return found;
}

std::wstring GetFolderPathAppData() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, folder))) return {};
  return folder;
}

std::wstring ExpandAppDataVariable() {
  wchar_t folder[MAX_PATH] = {};
  const DWORD length = ::ExpandEnvironmentStringsW(L"%APPDATA%", folder, MAX_PATH);
  // An unset variable stays as it was written: that is no folder.
  if (length == 0 || length > MAX_PATH || folder[0] == L'%') return {};
  return folder;
}

bool PathFileExists(const std::wstring& path) {
  return !path.empty() && ::PathFileExistsW(path.c_str());
}

bool CreateDirectoryTree(const std::wstring& path) {
  if (path.empty()) return false;
  ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);  // "already exists" is fine too
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring PathAppend(std::wstring folder, std::wstring_view component) {
  // Components are written with '/' between names on every platform.
  std::wstring more(component);
  std::replace(more.begin(), more.end(), L'/', L'\\');
  wchar_t joined[MAX_PATH] = {};
  if (folder.size() >= MAX_PATH) return {};
  std::copy(folder.begin(), folder.end(), joined);
  if (!::PathAppendW(joined, more.c_str())) return {};
  return joined;
}
