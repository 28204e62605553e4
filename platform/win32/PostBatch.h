// Holds back the wake-ups of the messages this thread posts while it lives: each queue posted
// to is woken once, when the batch ends. The messages themselves are queued at once and in
// order; only the signal waits, so a receiver that is awake anyway sees them straight away.
// A batch opened inside another one changes nothing. One thread uses a batch; the queues it
// names are kept alive until it has woken them.
//
// A batch may stay open across a thread's waits: no wake-up is then held longer than
// kMaxHoldMs, as the thread's waits wake the queues when that time is up (WakeDueInMs,
// WakeIfDue).
#ifndef ZVNET_PLATFORM_WIN32_POSTBATCH_H_
#define ZVNET_PLATFORM_WIN32_POSTBATCH_H_

#ifdef _WIN32
// Windows: PostMessageW queues and wakes in one step, so there is nothing to hold back; a
// batch is a marker that costs nothing.
class CPostBatch {
 public:
  CPostBatch() {}
  ~CPostBatch() {}  // user-provided: a batch held only for its scope is not "unused"
  CPostBatch(const CPostBatch&) = delete;
  CPostBatch& operator=(const CPostBatch&) = delete;

  static CPostBatch* Current() { return nullptr; }
  void WakeNow() {}
  static void WakeIfDue() {}
};
#else
#include <memory>
#include <vector>

#include "platform/win32/WinTypes.h"

class CThreadMessageQueue;

class CPostBatch {
 public:
  CPostBatch();
  ~CPostBatch();
  CPostBatch(const CPostBatch&) = delete;
  CPostBatch& operator=(const CPostBatch&) = delete;

  // The batch open on this thread, or null.
  static CPostBatch* Current();
  // Remembers to wake `queue` when the batch ends.
  void Note(const std::shared_ptr<CThreadMessageQueue>& queue);
  // Wakes the queues noted so far now; the batch stays open.
  void WakeNow();

  static constexpr DWORD kMaxHoldMs = 10;
  // For this thread's batch: milliseconds until its held wake-ups are due (0 when they are),
  // -1 when there is no batch or it holds none.
  static int WakeDueInMs();
  // Wakes the queues of this thread's batch when they are due.
  static void WakeIfDue();

 private:
  bool outermost;
  std::vector<std::shared_ptr<CThreadMessageQueue> > queues;
  DWORD heldSince = 0;  // when the first of `queues` was noted
};

#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_POSTBATCH_H_
