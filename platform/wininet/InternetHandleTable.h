// The process-wide table from HINTERNET values to the stand-in's handle objects.
//
// Values come from a counter and are never reused, so a stale handle is refused rather than
// mistaken for a newer one. Any thread may use the table; `mutex` guards `handles`.
#ifndef ZVNET_PLATFORM_WININET_INTERNETHANDLETABLE_H_
#define ZVNET_PLATFORM_WININET_INTERNETHANDLETABLE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wininet/InternetHandle.h"

class CInternetHandleTable {
 public:
  static CInternetHandleTable& Get();

  HINTERNET Add(std::shared_ptr<CInternetHandle> object);
  std::shared_ptr<CInternetHandle> Find(HINTERNET handle) const;
  // Removes the handle and, deepest first, every handle made under it; answers them in the
  // order they should be closed (children before parents). Empty when it was not there.
  std::vector<std::shared_ptr<CInternetHandle>> Remove(HINTERNET handle);

 private:
  mutable std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<CInternetHandle>> handles;
  uintptr_t next = 0x1000;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETHANDLETABLE_H_
