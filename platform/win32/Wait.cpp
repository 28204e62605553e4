#include "platform/win32/Wait.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/win32/TsanAnnotations.h"

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
  return WaitForMultipleObjects(std::span(objects.begin(), objects.size()), timeoutMs);
}

DWORD WaitForMultipleObjects(std::span<const CWaitable* const> objects, DWORD timeoutMs) {
  // Objects that know their state answer without a poll, as long as no object before the
  // signalled one could be signalled too (the lowest index wins).
  DWORD first = 0;
  for (const CWaitable* object : objects) {
    const CWaitable::KnownState state = object->StateNow();
    if (state == CWaitable::KnownState::kUnknown) break;
    if (state == CWaitable::KnownState::kSignalled) {
      AnnotateHappensAfter(object);
      return WAIT_OBJECT_0 + first;
    }
    ++first;
  }
  // A task's wait watches a handful of objects: no allocation for those.
  constexpr size_t kOnStack = 8;
  pollfd onStack[kOnStack];
  std::vector<pollfd> onHeap;
  pollfd* fds = onStack;
  if (objects.size() > kOnStack) {
    onHeap.resize(objects.size());
    fds = onHeap.data();
  }
  for (size_t i = 0; i < objects.size(); ++i) fds[i] = {objects[i]->WaitFd(), POLLIN, 0};
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs == INFINITE ? 0 : timeoutMs);
  for (;;) {
    int ready = ::poll(fds, objects.size(), RemainingMs(timeoutMs, deadline));
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
