// Windows: wide strings are UTF-16; the system converts them.
#include "platform/win32/StringConv.h"

#include "platform/win32/CodePage_win.h"
#include "platform/win32/WinTypes.h"

std::string WideToCodePage(unsigned int codePage, std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length =
      ::WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), length, nullptr, nullptr);
  return out;
}

std::wstring CodePageToWide(unsigned int codePage, std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(codePage, 0, text.data(), size, out.data(), length);
  return out;
}

std::string WideToUtf8(std::wstring_view text) {
  return WideToCodePage(CP_UTF8, text);
}

std::wstring Utf8ToWide(std::string_view text) {
  return CodePageToWide(CP_UTF8, text);
}
