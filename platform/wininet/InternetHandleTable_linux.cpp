#include "platform/wininet/InternetHandleTable_linux.h"

#include <algorithm>

#include "platform/win32/NoDestructor.h"

CInternetHandleTable& CInternetHandleTable::Get() {
  static NoDestructor<CInternetHandleTable> table;
  return *table;
}

HINTERNET CInternetHandleTable::Add(std::shared_ptr<CInternetHandle> object) {
  const CInternetHandle* parent = object->Parent().get();
  const uintptr_t shard =
      parent ? ((reinterpret_cast<uintptr_t>(parent->Handle()) - kFirst) >> 2) % kShards
             : nextSessionShard.fetch_add(1, std::memory_order_relaxed) % kShards;
  // Multiples of 4 from kFirst; the value's count of 4s, modulo the shard count, is the shard.
  const uintptr_t sequence = next.fetch_add(1, std::memory_order_relaxed) + 1;
  const uintptr_t value = kFirst + ((sequence * kShards + shard) << 2);
  HINTERNET handle = reinterpret_cast<HINTERNET>(value);
  object->SetHandle(handle);
  Shard& into = shards[shard];
  std::lock_guard guard(into.mutex);
  into.handles.emplace(value, std::move(object));
  return handle;
}

std::shared_ptr<CInternetHandle> CInternetHandleTable::Find(HINTERNET handle) const {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  const Shard& shard = ShardOf(value);
  std::lock_guard guard(shard.mutex);
  auto it = shard.handles.find(value);
  return it == shard.handles.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<CInternetHandle>> CInternetHandleTable::Remove(HINTERNET handle) {
  std::vector<std::shared_ptr<CInternetHandle>> removed;
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  Shard& shard = ShardOf(value);
  std::lock_guard guard(shard.mutex);
  auto& handles = shard.handles;
  auto it = handles.find(value);
  if (it == handles.end()) return removed;
  removed.push_back(it->second);
  handles.erase(it);
  // Collect descendants breadth first, then reverse so that children close first. They are
  // all in this shard.
  for (size_t i = 0; i < removed.size(); ++i) {
    for (auto child = handles.begin(); child != handles.end();) {
      if (child->second->Parent() == removed[i]) {
        removed.push_back(child->second);
        child = handles.erase(child);
      } else {
        ++child;
      }
    }
  }
  std::reverse(removed.begin(), removed.end());
  return removed;
}
