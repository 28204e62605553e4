// The process-wide table from HINTERNET values to the stand-in's handle objects.
//
// Values come from a counter and are never reused, so a stale handle is refused rather than
// mistaken for a newer one. Any thread may use the table. It is split into shards, each with
// its own lock, so that the threads that each run their own requests do not queue for one
// lock on every call: a session takes the next shard in turn, every handle made under it goes
// into its shard, and the shard is part of the value, so a look-up and the closing of a
// handle with all it holds take one shard's lock. Each shard's `mutex` guards its `handles`.
#ifndef ZVNET_PLATFORM_WININET_INTERNETHANDLETABLE_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETHANDLETABLE_LINUX_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wininet/InternetHandle_linux.h"

class CInternetHandleTable {
 public:
  static CInternetHandleTable& Get();

  HINTERNET Add(std::shared_ptr<CInternetHandle> object);
  std::shared_ptr<CInternetHandle> Find(HINTERNET handle) const;
  // Removes the handle and, deepest first, every handle made under it; answers them in the
  // order they should be closed (children before parents). Empty when it was not there.
  std::vector<std::shared_ptr<CInternetHandle>> Remove(HINTERNET handle);

 private:
  static constexpr uintptr_t kShards = 16;
  static constexpr uintptr_t kFirst = 0x1000;
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<CInternetHandle>> handles;
  };

  // The shard a value belongs to (any value maps to one; a value never made is not in it).
  const Shard& ShardOf(uintptr_t value) const { return shards[((value - kFirst) >> 2) % kShards]; }
  Shard& ShardOf(uintptr_t value) { return shards[((value - kFirst) >> 2) % kShards]; }

  std::array<Shard, kShards> shards;
  std::atomic<uintptr_t> next{0};
  std::atomic<uintptr_t> nextSessionShard{0};
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETHANDLETABLE_LINUX_H_
