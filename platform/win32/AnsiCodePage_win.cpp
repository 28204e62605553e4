// Windows: the system's ANSI code page (CP_ACP) itself.
#include "platform/win32/AnsiCodePage.h"

#include "platform/win32/CodePage_win.h"
#include "platform/win32/WinTypes.h"

std::string WideToAnsi(std::wstring_view text) {
  return WideToCodePage(CP_ACP, text);
}

std::wstring AnsiToWide(std::string_view text) {
  return CodePageToWide(CP_ACP, text);
}
