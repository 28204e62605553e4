// Formats and writes log lines: time, thread id, level and tag, then the message.
// One process-wide instance; `mutex` guards the output. The threshold is read without it, so
// a line below it costs no lock.
#ifndef ZVNET_XLOG_XLOGWRITER_H_
#define ZVNET_XLOG_XLOGWRITER_H_

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

#include "platform/win32/UniqueFile.h"

class CXLogWriter {
 public:
  static CXLogWriter& Get();

  CXLogWriter();
  CXLogWriter(const CXLogWriter&) = delete;
  CXLogWriter& operator=(const CXLogWriter&) = delete;

  void Write(int level, const wchar_t* tag, const wchar_t* format, va_list args);
  bool SetOutput(const char* path);
  void SetLevel(int level);

  // Rewrites a format with Windows wide-printf meanings into the C library's.
  static std::wstring TranslateFormat(const wchar_t* format);

 private:
  using File = UniqueFile;
  // The platform's part (XLogOutput_linux.cpp, XLogOutput_win.cpp): the local time and the
  // thread id that open a line, opening a file for appending, writing a line whole.
  static std::string Stamp();
  // The output file named by ZVXLOG_FILE (UTF-8), empty when unset.
  static std::string OutputFromEnvironment();
  static std::string Prefix(int level, const wchar_t* tag);
  static File OpenForAppend(const char* path);
  static void WriteLine(const File& file, const std::string& line);

  std::mutex mutex;
  File file;  // invalid: standard error
  std::atomic<int> minLevel{32};
};

#endif  // ZVNET_XLOG_XLOGWRITER_H_
