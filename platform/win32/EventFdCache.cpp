#include "platform/win32/EventFdCache.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

#include "platform/win32/NoDestructor.h"

namespace {

// Each thread first keeps a few idle descriptors of its own: a worker makes and drops its
// tasks' events on its own thread, so most takes and gives need no lock. The list is plain
// data, so reaching it costs no construction check; a second thread-local object, made on
// the first give, closes what it holds when the thread ends.
constexpr size_t kMaxThreadIdle = 8;

struct ThreadIdle {
  int fds[kMaxThreadIdle];
  size_t count;
  bool closerMade;  // the closer below exists for this thread
  bool ended;       // the closer ran: everything goes to the shared list
};

thread_local ThreadIdle threadIdle{};

struct ThreadIdleCloser {
  ~ThreadIdleCloser() {
    ThreadIdle& own = threadIdle;
    while (own.count > 0) ::close(own.fds[--own.count]);
    own.ended = true;
  }
};

void MakeThreadIdleCloser() {
  thread_local ThreadIdleCloser closer;
  (void)closer;
}

}  // namespace

CEventFdCache& CEventFdCache::Get() {
  static NoDestructor<CEventFdCache> cache;
  return *cache;
}

UniqueFd CEventFdCache::Take() {
  ThreadIdle& own = threadIdle;
  if (own.count > 0) return UniqueFd(own.fds[--own.count]);
  {
    std::lock_guard guard(lock);
    if (!idle.empty()) {
      UniqueFd fd = std::move(idle.back());
      idle.pop_back();
      return fd;
    }
  }
  return UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

void CEventFdCache::Give(UniqueFd fd) {
  if (!fd.IsValid()) return;
  ThreadIdle& own = threadIdle;
  if (own.count < kMaxThreadIdle && !own.ended) {
    if (!own.closerMade) {
      own.closerMade = true;
      MakeThreadIdleCloser();
    }
    own.fds[own.count++] = fd.Release();
    return;
  }
  std::lock_guard guard(lock);
  if (idle.size() < kMaxIdle) idle.push_back(std::move(fd));
}  // a descriptor beyond the limit closes with `fd`
