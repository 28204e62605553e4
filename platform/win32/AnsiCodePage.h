// The "ANSI code page" of the Windows design: here the character set of the process's locale
// (LC_CTYPE, as the host set it with setlocale; plain ASCII when it never did). On Windows
// the system's own (CP_ACP, platform/win32/AnsiCodePage_win.cpp). Any thread.
#ifndef ZVNET_PLATFORM_WIN32_ANSICODEPAGE_H_
#define ZVNET_PLATFORM_WIN32_ANSICODEPAGE_H_

#include <string>
#include <string_view>

// Characters the locale cannot hold become '?', as WideCharToMultiByte's default character.
std::string WideToAnsi(std::wstring_view text);
// Bytes that do not decode become U+FFFD.
std::wstring AnsiToWide(std::string_view text);

#endif  // ZVNET_PLATFORM_WIN32_ANSICODEPAGE_H_
