#include "platform/wininet/InternetHandleTable.h"

#include "platform/win32/NoDestructor.h"

CInternetHandleTable& CInternetHandleTable::Get() {
  static NoDestructor<CInternetHandleTable> table;
  return *table;
}

HINTERNET CInternetHandleTable::Add(std::shared_ptr<CInternetHandle> object) {
  std::lock_guard guard(mutex);
  next += 4;
  HINTERNET handle = reinterpret_cast<HINTERNET>(next);
  object->SetHandle(handle);
  handles.emplace(next, std::move(object));
  return handle;
}

std::shared_ptr<CInternetHandle> CInternetHandleTable::Find(HINTERNET handle) const {
  std::lock_guard guard(mutex);
  auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == handles.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<CInternetHandle>> CInternetHandleTable::Remove(HINTERNET handle) {
  std::vector<std::shared_ptr<CInternetHandle>> removed;
  std::lock_guard guard(mutex);
  auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == handles.end()) return removed;
  removed.push_back(it->second);
  handles.erase(it);
  // Collect descendants breadth first, then reverse so that children close first.
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
  return {removed.rbegin(), removed.rend()};
}
