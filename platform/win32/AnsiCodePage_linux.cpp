#include "platform/win32/AnsiCodePage.h"

#include <climits>
#include <cwchar>

std::string WideToAnsi(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (wchar_t c : text) {
    size_t n = std::wcrtomb(bytes, c, &state);
    if (n == static_cast<size_t>(-1)) {
      out += '?';
      state = std::mbstate_t{};
      continue;
    }
    out.append(bytes, n);
  }
  return out;
}

std::wstring AnsiToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::mbstate_t state{};
  size_t i = 0;
  while (i < text.size()) {
    wchar_t c = 0;
    size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      out += L'\uFFFD';
      state = std::mbstate_t{};
      ++i;
      continue;
    }
    out += c;
    i += n == 0 ? 1 : n;  // an embedded zero byte
  }
  return out;
}
