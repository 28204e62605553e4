#include "platform/win32/WaitDriver_linux.h"

namespace {

thread_local CWaitDriver* installed = nullptr;
thread_local bool running = false;

}  // namespace

void CWaitDriver::Install(CWaitDriver* driver) {
  installed = driver;
}

CWaitDriver* CWaitDriver::Current() {
  return running ? nullptr : installed;
}

void CWaitDriver::Run(std::span<const pollfd> fds) {
  struct Mark {
    Mark() { running = true; }
    ~Mark() { running = false; }
  } mark;
  RunDue(fds);
}
