#include "tools/StopSignal.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

namespace {

// Polls the descriptor for up to `timeoutMs` (-1: without limit); true when readable.
bool Readable(int fd, int timeoutMs) {
  pollfd waited{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&waited, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

}  // namespace

CStopSignal::CStopSignal() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CStopSignal::Set() {
  const uint64_t one = 1;
  // Only fails when the counter would overflow, and then it is set already.
  [[maybe_unused]] ssize_t written = ::write(fd.Get(), &one, sizeof one);
}

void CStopSignal::Reset() {
  uint64_t count = 0;
  // Non-blocking: an unset signal reads EAGAIN.
  [[maybe_unused]] ssize_t read = ::read(fd.Get(), &count, sizeof count);
}

bool CStopSignal::WaitFor(std::chrono::milliseconds timeout) const {
  const auto ms = timeout.count();
  return Readable(fd.Get(), ms < 0 ? 0 : ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms));
}

void CStopSignal::Wait() const {
  Readable(fd.Get(), -1);
}
