#include "tests/support/LogCapture.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/Pump.h"
#include "zvxlog.h"

CLogCapture::CLogCapture() {
  char name[] = "/tmp/zvnet-log-XXXXXX";
  int fd = ::mkstemp(name);
  if (fd >= 0) ::close(fd);
  path = name;
  XLogSetOutput(path.c_str());
  XLogSetLevel(0);
}

CLogCapture::~CLogCapture() {
  XLogSetOutput(nullptr);
  ::unlink(path.c_str());
}

std::vector<std::string> CLogCapture::Lines() const {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int CLogCapture::Count(const std::string& text) const {
  int n = 0;
  for (const std::string& line : Lines()) n += line.find(text) != std::string::npos;
  return n;
}

bool CLogCapture::WaitFor(const std::string& text, std::chrono::milliseconds deadline) const {
  return WaitUntil([&] { return Contains(text); }, deadline);
}
