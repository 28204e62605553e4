// Feeds arbitrary bytes as an INI file to the profile reader. The first byte picks the
// section and key asked for, the rest is the file. A value found must be a part of one line,
// and the integer read must agree with the text read.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/shell/PrivateProfile.h"
#include "platform/win32/StringConv.h"

namespace {

const wchar_t* const kNames[] = {L"Settings", L"key", L"", L"a", L"Proxy", L"port", L"[", L"="};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

std::wstring ProfilePath() {
  static const std::wstring path =
      Utf8ToWide("/tmp/zvnet-fuzz-profile-" + std::to_string(::getpid()) + ".ini");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const wchar_t* section = kNames[(data[0] >> 4) % kNameCount];
  const wchar_t* key = kNames[(data[0] & 0x0F) % kNameCount];
  {
    std::ofstream out(WideToUtf8(ProfilePath()), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  const std::optional<std::wstring> value = ReadPrivateProfileString(section, key, ProfilePath());
  if (value && value->find(L'\n') != std::wstring::npos) std::abort();
  const UINT number = GetPrivateProfileIntW(section, key, 77, ProfilePath().c_str());
  if ((!value || value->empty()) && number != 77) std::abort();
  return 0;
}
