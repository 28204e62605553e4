// Idle eventfds kept for reuse. An HTTP download makes and drops three events; with a cache,
// a run of many small downloads stops paying two system calls for each of them.
//
// Threads: any thread may Take and Give; `lock` guards `idle`.
#ifndef ZVNET_PLATFORM_WIN32_EVENTFDCACHE_LINUX_H_
#define ZVNET_PLATFORM_WIN32_EVENTFDCACHE_LINUX_H_

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/win32/UniqueFd.h"

class CEventFdCache {
 public:
  static CEventFdCache& Get();

  // A non-blocking eventfd whose counter is zero: a kept one, else a new one (invalid when
  // none could be made).
  UniqueFd Take();
  // Keeps `fd`, whose counter must be zero, unless enough are kept already (then it closes).
  void Give(UniqueFd fd);

  CEventFdCache() = default;
  CEventFdCache(const CEventFdCache&) = delete;
  CEventFdCache& operator=(const CEventFdCache&) = delete;

 private:
  // Enough for the events of the tasks that run at once in a busy process.
  static constexpr size_t kMaxIdle = 32;

  std::mutex lock;
  std::vector<UniqueFd> idle;
};

#endif  // ZVNET_PLATFORM_WIN32_EVENTFDCACHE_LINUX_H_
