// Owns one kernel object handle and closes it.
#ifndef ZVNET_PLATFORM_WIN32_UNIQUEHANDLE_WIN_H_
#define ZVNET_PLATFORM_WIN32_UNIQUEHANDLE_WIN_H_

#include <utility>

#include "platform/win32/WinTypes.h"

class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return handle; }
  bool IsValid() const { return handle != nullptr; }
  HANDLE Release() { return std::exchange(handle, nullptr); }
  void Reset(HANDLE newHandle = nullptr) {
    if (handle) ::CloseHandle(handle);
    handle = newHandle;
  }

 private:
  HANDLE handle = nullptr;
};

#endif  // ZVNET_PLATFORM_WIN32_UNIQUEHANDLE_WIN_H_
