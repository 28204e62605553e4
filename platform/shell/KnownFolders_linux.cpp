#include "platform/shell/KnownFolders.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/win32/StringConv.h"

namespace {

// An environment variable holding an absolute path; relative ones are ignored, as the XDG
// rules ask.
std::wstring AbsolutePathVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || value[0] != '/') return {};
  return Utf8ToWide(value);
}

// The XDG variable, else the given folder under the home.
std::wstring XdgFolder(const char* variable, std::wstring_view underHome) {
  std::wstring folder = AbsolutePathVariable(variable);
  if (!folder.empty()) return folder;
  std::wstring home = AbsolutePathVariable("HOME");
  if (home.empty()) return {};
  return PathAppend(std::move(home), underHome);
}

std::filesystem::path ToPath(const std::wstring& path) {
  return {WideToUtf8(path)};
}

}  // namespace

std::wstring GetKnownFolderLocalAppDataLow(bool create) {
  std::wstring folder = XdgFolder("XDG_DATA_HOME", L".local/share");
  if (folder.empty() || (create && !CreateDirectoryTree(folder))) return {};
  return folder;
}

std::wstring GetFolderPathAppData() {
  return XdgFolder("XDG_CONFIG_HOME", L".config");
}

std::wstring ExpandAppDataVariable() {
  return AbsolutePathVariable("HOME");
}

bool PathFileExists(const std::wstring& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::exists(ToPath(path), error);
}

bool CreateDirectoryTree(const std::wstring& path) {
  if (path.empty()) return false;
  std::error_code error;
  std::filesystem::create_directories(ToPath(path), error);
  return std::filesystem::is_directory(ToPath(path), error);
}

std::wstring PathAppend(std::wstring folder, std::wstring_view component) {
  while (!component.empty() && component.front() == L'/') component.remove_prefix(1);
  if (folder.empty()) return std::wstring(component);
  if (folder.back() != L'/') folder += L'/';
  folder += component;
  return folder;
}
