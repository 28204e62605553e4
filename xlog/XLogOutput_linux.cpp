// The platform's part of the log writer on Linux: a descriptor opened with O_APPEND.
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "xlog/XLogWriter.h"

std::string CXLogWriter::OutputFromEnvironment() {
  const char* path = std::getenv("ZVXLOG_FILE");
  return path ? path : "";
}

std::string CXLogWriter::Stamp() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  ::localtime_r(&ts.tv_sec, &local);
  char head[64];
  std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%ld]",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, ts.tv_nsec / 1000000, static_cast<long>(::syscall(SYS_gettid)));
  return head;
}

CXLogWriter::File CXLogWriter::OpenForAppend(const char* path) {
  return File(::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
}

void CXLogWriter::WriteLine(const File& file, const std::string& line) {
  const int fd = file.IsValid() ? file.Get() : STDERR_FILENO;
  // One write per line: O_APPEND keeps lines of several processes whole.
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}
