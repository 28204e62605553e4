// Windows: profile strings through GetPrivateProfileStringW.
#include "platform/shell/PrivateProfile.h"

#include <vector>

namespace {

// What the reader answers for a key it does not find: no value can hold it.
constexpr wchar_t kMissing[] = L"\x01zvnet-missing\x01";

}  // namespace

std::optional<std::wstring> ReadPrivateProfileString(std::wstring_view section,
                                                     std::wstring_view key,
                                                     const std::wstring& file) {
  const std::wstring sectionName(section);
  const std::wstring keyName(key);
  // The reader cuts a value to its buffer and then answers the buffer's size less one: grow
  // until the value fits.
  for (DWORD size = 256; size <= (1u << 20); size *= 4) {
    std::vector<wchar_t> buffer(size, L'\0');
    const DWORD length = ::GetPrivateProfileStringW(sectionName.c_str(), keyName.c_str(), kMissing,
                                                    buffer.data(), size, file.c_str());
    if (length + 1 >= size) continue;
    const std::wstring value(buffer.data(), length);
    if (value == kMissing) return std::nullopt;
    return value;
  }
  return std::nullopt;
}
