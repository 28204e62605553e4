// Windows: the current user's registry itself (RegOpenKeyExW, RegQueryValueExW).
#include "platform/shell/UserRegistry.h"

#include "platform/win32/WinTypes.h"

#include <vector>

namespace {

// A value of up to this many bytes is read into a buffer of that size; a longer one into one
// of its own size.
constexpr DWORD kSmallValueBytes = 1024;

class CRegistryKey {
 public:
  explicit CRegistryKey(const std::wstring& path) {
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      key = nullptr;
    }
  }
  ~CRegistryKey() {
    if (key) ::RegCloseKey(key);
  }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;
  HKEY Get() const { return key; }

 private:
  HKEY key = nullptr;
};

}  // namespace

bool QueryUserRegistryString(std::wstring_view key, std::wstring_view value, std::wstring* text) {
  CRegistryKey opened{std::wstring(key)};
  if (!opened.Get()) return false;
  const std::wstring name(value);
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExW(opened.Get(), name.c_str(), nullptr, &type, nullptr, &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  // The text is used as it stands: an expandable string is not expanded. Room for a
  // terminator the stored value may lack.
  if (size < kSmallValueBytes) size = kSmallValueBytes;
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  if (::RegQueryValueExW(opened.Get(), name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
    return false;
  }
  buffer[size / sizeof(wchar_t)] = L'\0';
  *text = buffer.data();
  return !text->empty();
}
