#include "xlog/XLogWriter.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "platform/win32/NoDestructor.h"
#include "platform/win32/StringConv.h"

namespace {

const char* LevelName(int level) {
  switch (level) {
    case 16:
      return "TRACE";
    case 32:
      return "EVENT";
    case 48:
      return "FAIL";
    case 80:
      return "APIERR";
    default:
      return "LOG";
  }
}

std::wstring FormatText(const wchar_t* format, va_list args) {
  const std::wstring translated = CXLogWriter::TranslateFormat(format);
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), translated.c_str(), copy);
    va_end(copy);
    // Some C runtimes (mingw's) answer a cut line with the length it would have had, not -1.
    if (n >= 0 && static_cast<size_t>(n) < buffer.size()) return std::wstring(buffer.data(), n);
    if (buffer.size() >= (1u << 20)) return L"<log line too long or malformed>";
    buffer.resize(buffer.size() * 4);
  }
}

}  // namespace

std::string CXLogWriter::Prefix(int level, const wchar_t* tag) {
  std::string prefix = Stamp() + " " + LevelName(level) + " ";
  if (tag && *tag) prefix += "[" + WideToUtf8(tag) + "] ";
  return prefix;
}

CXLogWriter& CXLogWriter::Get() {
  static NoDestructor<CXLogWriter> writer;
  return *writer;
}

CXLogWriter::CXLogWriter() {
  if (const char* level = std::getenv("ZVXLOG_LEVEL")) minLevel = std::atoi(level);
  const std::string path = OutputFromEnvironment();
  if (!path.empty()) SetOutput(path.c_str());
}

std::wstring CXLogWriter::TranslateFormat(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p; ++p) {
    out += *p;
    if (*p != L'%') continue;
    if (p[1] == L'%') {
      out += *++p;
      continue;
    }
    // Flags, width and precision pass through unchanged.
    while (p[1] && std::wcschr(L"-+ #0123456789.*", p[1])) out += *++p;
    bool narrow = false;
    bool wide = false;
    if (p[1] == L'h' && (p[2] == L's' || p[2] == L'c'))
      narrow = true, ++p;
    else if ((p[1] == L'l' || p[1] == L'w') && (p[2] == L's' || p[2] == L'c'))
      wide = true, ++p;
    if (!p[1]) break;
    wchar_t conv = p[1];
    if (conv == L's' || conv == L'c') {
      out += narrow ? L"" : L"l";
      out += conv;
      ++p;
    } else if (conv == L'S' || conv == L'C') {
      out += wide ? L"l" : L"";
      out += static_cast<wchar_t>(conv == L'S' ? L's' : L'c');
      ++p;
    }
  }
  return out;
}

void CXLogWriter::Write(int level, const wchar_t* tag, const wchar_t* format, va_list args) {
  if (!format || level < minLevel.load(std::memory_order_relaxed)) return;
  std::string line = Prefix(level, tag) + WideToUtf8(FormatText(format, args));
  while (!line.empty() && line.back() == '\n') line.pop_back();
  line += '\n';
  std::lock_guard guard(mutex);
  WriteLine(file, line);
}

bool CXLogWriter::SetOutput(const char* path) {
  File opened;
  if (path && *path) {
    opened = OpenForAppend(path);
    if (!opened.IsValid()) return false;
  }
  std::lock_guard guard(mutex);
  file = std::move(opened);
  return true;
}

void CXLogWriter::SetLevel(int level) {
  minLevel.store(level, std::memory_order_relaxed);
}
