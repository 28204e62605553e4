#include "platform/win32/EventFdCache_linux.h"

#include <sys/eventfd.h>

#include <utility>

#include "platform/win32/NoDestructor.h"

CEventFdCache& CEventFdCache::Get() {
  static NoDestructor<CEventFdCache> cache;
  return *cache;
}

UniqueFd CEventFdCache::Take() {
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
  std::lock_guard guard(lock);
  if (idle.size() < kMaxIdle) idle.push_back(std::move(fd));
}  // a descriptor beyond the limit closes with `fd`
