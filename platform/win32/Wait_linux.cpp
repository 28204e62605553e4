#include "platform/win32/Wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/win32/PostBatch.h"
#include "platform/win32/TsanAnnotations_linux.h"
#include "platform/win32/WaitDriver_linux.h"

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(DWORD timeoutMs, Clock::time_point deadline) {
  if (timeoutMs == INFINITE) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The shorter of two poll time-outs, -1 meaning none.
int ShorterWait(int waitMs, int otherMs) {
  if (otherMs < 0) return waitMs;
  return waitMs < 0 ? otherMs : std::min(waitMs, otherMs);
}

// Objects that know their state answer without a poll, as long as no object before the
// signalled one could be signalled too (the lowest index wins). WAIT_TIMEOUT when none does.
DWORD SignalledNow(std::span<const CWaitable* const> objects) {
  DWORD index = 0;
  for (const CWaitable* object : objects) {
    const CWaitable::KnownState state = object->StateNow();
    if (state == CWaitable::KnownState::kUnknown) break;
    if (state == CWaitable::KnownState::kSignalled) {
      AnnotateHappensAfter(object);
      return WAIT_OBJECT_0 + index;
    }
    ++index;
  }
  return WAIT_TIMEOUT;
}

// True when any object knows it is signalled now, wherever it stands.
bool AnySignalled(std::span<const CWaitable* const> objects) {
  for (const CWaitable* object : objects) {
    if (object->StateNow() == CWaitable::KnownState::kSignalled) return true;
  }
  return false;
}

// The first object that is signalled (its descriptor polled ready, or its state says so)
// and whose signal this wait took; WAIT_TIMEOUT when none.
DWORD TakeSignalled(std::span<const CWaitable* const> objects, const pollfd* fds) {
  DWORD index = 0;
  for (const CWaitable* object : objects) {
    const bool ready = (fds[index].revents & (POLLIN | POLLERR | POLLHUP)) ||
                       object->StateNow() == CWaitable::KnownState::kSignalled;
    if (ready && object->ConsumeSignal()) {
      AnnotateHappensAfter(object);
      return WAIT_OBJECT_0 + index;
    }
    ++index;
  }
  return WAIT_TIMEOUT;
}

// Counts the wait in every object's pollers while it lives.
class CPollAnnouncement {
 public:
  explicit CPollAnnouncement(std::span<const CWaitable* const> objects) : objects(objects) {
    for (const CWaitable* object : objects) object->BeginPoll();
  }
  ~CPollAnnouncement() {
    for (const CWaitable* object : objects) object->EndPoll();
  }
  CPollAnnouncement(const CPollAnnouncement&) = delete;
  CPollAnnouncement& operator=(const CPollAnnouncement&) = delete;

 private:
  const std::span<const CWaitable* const> objects;
};

}  // namespace

DWORD WaitForSingleObject(const CWaitable& object, DWORD timeoutMs) {
  return WaitForMultipleObjects({&object}, timeoutMs);
}

DWORD WaitForMultipleObjects(std::initializer_list<const CWaitable*> objects, DWORD timeoutMs) {
  return WaitForMultipleObjects(std::span(objects.begin(), objects.size()), timeoutMs);
}

DWORD WaitForMultipleObjects(std::span<const CWaitable* const> objects, DWORD timeoutMs) {
  if (DWORD known = SignalledNow(objects); known != WAIT_TIMEOUT) return known;
  CWaitDriver* driver = CWaitDriver::Current();
  // A task's wait watches a handful of objects and its thread a socket or two: no allocation
  // for those.
  constexpr size_t kOnStack = 16;
  pollfd onStack[kOnStack];
  std::vector<pollfd> onHeap;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs == INFINITE ? 0 : timeoutMs);
  for (;;) {
    if (driver && driver->TimeoutMs() == 0) {
      // Work due now (a transfer just added) runs before the poll rather than after one.
      driver->Run({});
    }
    const std::span<const pollfd> driven = driver ? driver->Fds() : std::span<const pollfd>();
    const size_t count = objects.size() + driven.size();
    pollfd* fds = onStack;
    if (count > kOnStack) {
      onHeap.resize(count);
      fds = onHeap.data();
    }
    for (size_t i = 0; i < objects.size(); ++i) fds[i] = {objects[i]->WaitFd(), POLLIN, 0};
    std::copy(driven.begin(), driven.end(), fds + objects.size());
    int waitMs = ShorterWait(RemainingMs(timeoutMs, deadline), CPostBatch::WakeDueInMs());
    if (driver) waitMs = ShorterWait(waitMs, driver->TimeoutMs());
    int ready;
    {
      // Counted only while polling: what the driver signals on this thread needs no descriptor.
      CPollAnnouncement announced(objects);
      // Asked again now that the wait is counted: a Set before that left the descriptor alone.
      if (DWORD known = SignalledNow(objects); known != WAIT_TIMEOUT) return known;
      // A signalled object behind one of unknown state: the poll only settles which is first.
      if (AnySignalled(objects)) waitMs = 0;
      ready = ::poll(fds, count, waitMs);
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED;
    }
    CPostBatch::WakeIfDue();
    if (driver) {
      driver->Run(std::span<const pollfd>(fds + objects.size(), driven.size()));
      // What the driver did may have signalled an object after the poll looked.
      if (DWORD known = SignalledNow(objects); known != WAIT_TIMEOUT) return known;
    }
    if (DWORD taken = TakeSignalled(objects, fds); taken != WAIT_TIMEOUT) return taken;
    // Time-out, or every signal was taken by another waiter, or only the driver or the held
    // wake-ups had work: wait again for what is left of the time.
    if (timeoutMs != INFINITE && RemainingMs(timeoutMs, deadline) == 0) return WAIT_TIMEOUT;
  }
}
