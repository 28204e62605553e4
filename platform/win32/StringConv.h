// Wide strings are UTF-32 wchar_t on Linux and UTF-16 on Windows
// (platform/win32/StringConv_win.cpp); files, sockets and libcurl take UTF-8.
#ifndef ZVNET_PLATFORM_WIN32_STRINGCONV_H_
#define ZVNET_PLATFORM_WIN32_STRINGCONV_H_

#include <string>
#include <string_view>

// Invalid code points become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// Invalid UTF-8 sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);

#endif  // ZVNET_PLATFORM_WIN32_STRINGCONV_H_
