// The exported C entry points of libzvxlog.so.
#include "xlog/XLogWriter.h"
#include "xlog/zvxlog.h"

extern "C" {

void XLogV(int level, const wchar_t* tag, const wchar_t* format, va_list args) {
  CXLogWriter::Get().Write(level, tag, format, args);
}

void XLog(int level, const wchar_t* tag, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  CXLogWriter::Get().Write(level, tag, format, args);
  va_end(args);
}

int XLogSetOutput(const char* path) {
  return CXLogWriter::Get().SetOutput(path) ? 0 : -1;
}

void XLogSetLevel(int minLevel) {
  CXLogWriter::Get().SetLevel(minLevel);
}

}  // extern "C"
