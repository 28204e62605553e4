#include "platform/Wait.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/TsanAnnotations.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(DWORD timeoutMs, Clock::time_point deadline) {
  if (timeoutMs == INFINITE) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

DWORD WaitForSingleObject(const CWaitable& object, DWORD timeoutMs) {
  return WaitForMultipleObjects({&object}, timeoutMs);
}

DWORD WaitForMultipleObjects(std::initializer_list<const CWaitable*> objects, DWORD timeoutMs) {
  // A wait is usually over a few objects: keep their descriptors off the heap.
  constexpr size_t kInline = 8;
  pollfd inlineFds[kInline];
  std::vector<pollfd> heapFds;
  pollfd* fds = inlineFds;
  if (objects.size() > kInline) {
    heapFds.resize(objects.size());
    fds = heapFds.data();
  }
  size_t count = 0;
  for (const CWaitable* object : objects) fds[count++] = {object->WaitFd(), POLLIN, 0};
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs == INFINITE ? 0 : timeoutMs);
  for (;;) {
    int ready = ::poll(fds, count, RemainingMs(timeoutMs, deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED;
    }
    if (ready == 0) return WAIT_TIMEOUT;
    DWORD index = 0;
    for (const CWaitable* object : objects) {
      const pollfd& p = fds[index];
      if ((p.revents & (POLLIN | POLLERR | POLLHUP)) && object->ConsumeSignal()) {
        AnnotateHappensAfter(object);
        return WAIT_OBJECT_0 + index;
      }
      ++index;
    }
    // Every signal was taken by another waiter: wait again for what is left of the time.
    if (timeoutMs != INFINITE && RemainingMs(timeoutMs, deadline) == 0) return WAIT_TIMEOUT;
  }
}
