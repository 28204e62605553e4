// The process-wide table of live windows. Any thread may use it.
#ifndef ZVNET_PLATFORM_WIN32_WINDOWTABLE_LINUX_H_
#define ZVNET_PLATFORM_WIN32_WINDOWTABLE_LINUX_H_

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "platform/win32/WindowRecord_linux.h"

class CWindowTable {
 public:
  static CWindowTable& Get();

  CWindowTable() = default;
  CWindowTable(const CWindowTable&) = delete;
  CWindowTable& operator=(const CWindowTable&) = delete;

  // Adds a window with a handle never used before.
  std::shared_ptr<CWindowRecord> Add(std::shared_ptr<IWindowProc> proc,
                                     std::shared_ptr<CThreadMessageQueue> queue);
  std::shared_ptr<CWindowRecord> Find(HWND hwnd) const;
  // Removes the window and marks it dead; null if it was not there.
  std::shared_ptr<CWindowRecord> Remove(HWND hwnd);
  std::vector<HWND> WindowsOf(const CThreadMessageQueue* queue) const;

 private:
  mutable std::shared_mutex mutex;  // guards windows and nextHandle
  std::unordered_map<uintptr_t, std::shared_ptr<CWindowRecord>> windows;
  uintptr_t nextHandle = 0x10000;
};

#endif  // ZVNET_PLATFORM_WIN32_WINDOWTABLE_LINUX_H_
