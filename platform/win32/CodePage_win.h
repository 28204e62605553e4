// Windows: text converted between UTF-16 and a code page by the system (CP_UTF8, CP_ACP, ...).
#ifndef ZVNET_PLATFORM_WIN32_CODEPAGE_WIN_H_
#define ZVNET_PLATFORM_WIN32_CODEPAGE_WIN_H_

#include <string>
#include <string_view>

std::string WideToCodePage(unsigned int codePage, std::wstring_view text);
std::wstring CodePageToWide(unsigned int codePage, std::string_view text);

#endif  // ZVNET_PLATFORM_WIN32_CODEPAGE_WIN_H_
