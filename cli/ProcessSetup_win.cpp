// Windows: UTF-8 arguments from the wide command line, binary standard output.
#include "cli/ProcessSetup.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "zvnet/zvdefs.h"  // windows.h

// shellapi.h needs windows.h first.
#include <shellapi.h>

void PrepareProcess(int& argc, char**& argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return;  // the CRT's arguments stay
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  for (int i = 0; i < count; ++i) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) {
      ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), length, nullptr, nullptr);
    }
    texts.push_back(std::move(text));
  }
  ::LocalFree(wide);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  argc = count;
  argv = pointers.data();
}

std::string MakeScratchFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return "";
  // CreateDirectoryW fails on a name that exists: try the next one.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring folder = std::wstring(temp) + L"zvnet-demo-" +
                                std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                std::to_wstring(attempt);
    if (!::CreateDirectoryW(folder.c_str(), nullptr)) {
      if (::GetLastError() == ERROR_ALREADY_EXISTS) continue;
      return "";
    }
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size - 1 : 0, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, folder.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    return utf8;
  }
  return "";
}
