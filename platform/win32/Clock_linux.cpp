#include "platform/win32/Clock.h"

#include <time.h>

namespace {

int64_t MonotonicNs() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

DWORD GetTickCount() {
  return static_cast<DWORD>(MonotonicNs() / 1000000);
}
DWORD timeGetTime() {
  return GetTickCount();
}
int64_t QueryPerformanceCounter() {
  return MonotonicNs();
}
int64_t QueryPerformanceFrequency() {
  return 1000000000;
}
