// Feeds arbitrary text to EscapeForReport: the answer may hold only ASCII letters, digits and
// "%XX" escapes, and must decode back to the text's bytes in the locale's character set.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/report/CdnReportQuery.h"
#include "platform/win32/AnsiCodePage.h"
#include "platform/win32/StringConv.h"

namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool IsAsciiAlnum(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

}  // namespace

// A multi-byte locale, so characters beyond ASCII reach the escaping as several bytes.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
  const std::wstring escaped = EscapeForReport(text);
  std::string decoded;
  for (size_t i = 0; i < escaped.size();) {
    if (IsAsciiAlnum(escaped[i])) {
      decoded += static_cast<char>(escaped[i++]);
      continue;
    }
    if (escaped[i] != L'%' || i + 2 >= escaped.size()) std::abort();
    const int high = HexValue(escaped[i + 1]);
    const int low = HexValue(escaped[i + 2]);
    if (high < 0 || low < 0) std::abort();
    decoded += static_cast<char>(high * 16 + low);
    i += 3;
  }
  if (decoded != WideToAnsi(text)) std::abort();
  return 0;
}
