// The platform's part of the log writer on Windows: a file opened for appending only, whose
// writes the system places at the end whole, as O_APPEND does.
#include <cstdio>
#include <cstdlib>

#include "platform/win32/StringConv.h"
#include "xlog/XLogWriter.h"

// The narrow environment is in the ANSI code page; output paths are UTF-8.
std::string CXLogWriter::OutputFromEnvironment() {
  const wchar_t* path = ::_wgetenv(L"ZVXLOG_FILE");
  return path ? WideToUtf8(path) : "";
}

std::string CXLogWriter::Stamp() {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  char head[64];
  std::snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu]", local.wYear,
                local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                local.wMilliseconds, static_cast<unsigned long>(::GetCurrentThreadId()));
  return head;
}

CXLogWriter::File CXLogWriter::OpenForAppend(const char* path) {
  HANDLE handle = ::CreateFileW(Utf8ToWide(path).c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return File(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

void CXLogWriter::WriteLine(const File& file, const std::string& line) {
  HANDLE out = file.IsValid() ? file.Get() : ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  ::WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
