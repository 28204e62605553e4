#include "platform/shell/UserRegistry.h"

#include <cstdlib>

#include "platform/win32/StringConv.h"

namespace {

struct RegistryValue {
  std::wstring_view key;
  std::wstring_view value;
  const char* variable;
};

constexpr RegistryValue kValues[] = {
    {L"Software\\Zarvo\\ZarvoInput", L"AppData", "ZVNET_APPDATA"},
};

}  // namespace

bool QueryUserRegistryString(std::wstring_view key, std::wstring_view value, std::wstring* text) {
  for (const RegistryValue& known : kValues) {
    if (known.key != key || known.value != value) continue;
    const char* set = std::getenv(known.variable);
    if (!set || !*set) return false;
    *text = Utf8ToWide(set);
    return true;
  }
  return false;
}
