// Holds back the wake-ups of the messages this thread posts while it lives: each queue posted
// to is woken once, when the batch ends. The messages themselves are queued at once and in
// order; only the signal waits, so a receiver that is awake anyway sees them straight away.
// A batch opened inside another one changes nothing. One thread uses a batch; the queues it
// names are kept alive until it has woken them.
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
};
#else
#include <memory>
#include <vector>

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

 private:
  bool outermost;
  std::vector<std::shared_ptr<CThreadMessageQueue> > queues;
};

#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_POSTBATCH_H_
