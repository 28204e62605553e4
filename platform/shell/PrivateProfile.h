// The profile reader of the Windows design (GetPrivateProfileStringW, GetPrivateProfileIntW)
// over an INI file, with the Windows rules:
// - lines are trimmed; "[name]" starts a section; "name=value" is a key; other lines (";"
//   comments among them) name no key that can be asked for;
// - section and key names compare without regard to case; the first section of a name and
//   the first key of a name in it win;
// - a value is trimmed of blanks, then of one pair of matching quotes around it;
// - the file is UTF-8 (an initial byte-order mark is skipped) or UTF-16LE with its mark.
// Reads the file on every call; any thread.
#ifndef ZVNET_PLATFORM_SHELL_PRIVATEPROFILE_H_
#define ZVNET_PLATFORM_SHELL_PRIVATEPROFILE_H_

#include <optional>
#include <string>
#include <string_view>

#include "platform/win32/WinTypes.h"

// The value's text; nothing when the file, the section or the key is missing.
std::optional<std::wstring> ReadPrivateProfileString(std::wstring_view section,
                                                     std::wstring_view key,
                                                     const std::wstring& file);

#ifdef _WIN32
// Windows: the system's profile reader itself: GetPrivateProfileIntW is windows.h's, and
// ReadPrivateProfileString reads through GetPrivateProfileStringW
// (platform/shell/PrivateProfile_win.cpp).
#else

// `defaultValue` when the value is missing or empty; otherwise its first 29 characters read
// as Windows reads an integer: leading blanks and control characters skipped, an optional
// sign, "0x", "0o" or "0b" for bases 16, 8 and 2, digits up to the first that does not
// belong, 32-bit wrap-around. Text without digits is 0.
UINT GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, int defaultValue,
                           const wchar_t* file);

#endif  // _WIN32

#endif  // ZVNET_PLATFORM_SHELL_PRIVATEPROFILE_H_
