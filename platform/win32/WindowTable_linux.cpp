#include "platform/win32/WindowTable_linux.h"

#include <mutex>

#include "platform/win32/NoDestructor.h"

CWindowTable& CWindowTable::Get() {
  static NoDestructor<CWindowTable> table;
  return *table;
}

std::shared_ptr<CWindowRecord> CWindowTable::Add(std::shared_ptr<IWindowProc> proc,
                                                 std::shared_ptr<CThreadMessageQueue> queue) {
  auto record = std::make_shared<CWindowRecord>();
  record->proc = std::move(proc);
  record->queue = std::move(queue);
  std::unique_lock guard(mutex);
  nextHandle += 2;  // handles stay non-zero and are never reused
  record->hwnd = reinterpret_cast<HWND>(nextHandle);
  windows.emplace(nextHandle, record);
  return record;
}

std::shared_ptr<CWindowRecord> CWindowTable::Find(HWND hwnd) const {
  std::shared_lock guard(mutex);
  auto it = windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == windows.end() ? nullptr : it->second;
}

std::shared_ptr<CWindowRecord> CWindowTable::Remove(HWND hwnd) {
  std::shared_ptr<CWindowRecord> record;
  {
    std::unique_lock guard(mutex);
    auto it = windows.find(reinterpret_cast<uintptr_t>(hwnd));
    if (it == windows.end()) return nullptr;
    record = std::move(it->second);
    windows.erase(it);
  }
  record->alive.store(false, std::memory_order_release);
  return record;
}

std::vector<HWND> CWindowTable::WindowsOf(const CThreadMessageQueue* queue) const {
  std::vector<HWND> found;
  std::shared_lock guard(mutex);
  for (const auto& [handle, record] : windows) {
    if (record->queue.get() == queue) found.push_back(record->hwnd);
  }
  return found;
}
