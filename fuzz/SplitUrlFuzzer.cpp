// Feeds arbitrary text to SplitUrl: it must answer, keep every component within its buffer and
// leave the record cleared on failure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "frame/SplitUrl.h"
#include "platform/win32/StringConv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring url = Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
  url.erase(std::find(url.begin(), url.end(), L'\0'), url.end());
  static UrlComponents c;
  const bool ok = SplitUrl(&c, url.c_str());
  const uint32_t lengths[] = {c.schemeNameLength, c.hostNameLength, c.userNameLength,
                              c.passwordLength,   c.urlPathLength,  c.extraInfoLength};
  const wchar_t* texts[] = {c.schemeName, c.hostName, c.userName,
                            c.password,   c.urlPath,  c.extraInfo};
  for (int i = 0; i < 6; ++i) {
    if (std::wcslen(texts[i]) != lengths[i]) std::abort();
    if (!ok && lengths[i] != 0) std::abort();
  }
  if (!ok && (c.port != 0 || c.scheme != URL_SCHEME_UNKNOWN)) std::abort();
  return 0;
}
