// Windows: names differ neither by case nor by trailing dots and spaces, ':' opens a stream,
// '<>"|?*' and control characters are refused, and the device names are found in every folder.
#include "cli/FileNames.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "cli/Text.h"
#include "zvnet/zvdefs.h"  // windows.h

namespace {

bool IsDeviceName(std::string_view base) {
  std::string upper(base);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == device) return true;
  }
  // COM0 to COM9 and LPT0 to LPT9, also with a superscript digit 1, 2 or 3 (in UTF-8).
  if (upper.rfind("COM", 0) != 0 && upper.rfind("LPT", 0) != 0) return false;
  const std::string_view digit = std::string_view(upper).substr(3);
  return (digit.size() == 1 && std::isdigit(static_cast<unsigned char>(digit[0]))) ||
         digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

std::string PlainFileName(std::string_view leaf) {
  std::string name(leaf);
  for (char& c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c)) c = '_';
  }
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
  // The system takes the part before the first dot, trailing spaces dropped, as the device.
  std::string_view base = std::string_view(name).substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  if (IsDeviceName(base)) name.insert(0, 1, '_');
  return name;
}

std::string SameFileKey(const std::string& path) {
  std::wstring wide = Widen(path);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  if (wide.empty()) return path;
  // The invariant upper case of each character: what NTFS compares by.
  std::wstring folded(wide.size(), L'\0');
  const int length = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                                     static_cast<int>(wide.size()), folded.data(),
                                     static_cast<int>(folded.size()), nullptr, nullptr, 0);
  if (length <= 0) return Narrow(wide);
  folded.resize(static_cast<size_t>(length));
  return Narrow(folded);
}
