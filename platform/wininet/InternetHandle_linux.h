// The base of every WinINet stand-in handle: its type, parent, context and status callback.
//
// Threads: made and closed on the caller's threads; Notify may run on any thread (the
// engine's for network statuses). The callback is atomic so that it can be swapped while the
// engine reports. Handles are owned by CInternetHandleTable (and, while a transfer runs, by
// the engine); children keep their parent alive.
#ifndef ZVNET_PLATFORM_WININET_INTERNETHANDLE_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETHANDLE_LINUX_H_

#include <atomic>
#include <memory>

#include "platform/wininet/WinInet.h"

class CInternetSession;

class CInternetHandle : public std::enable_shared_from_this<CInternetHandle> {
 public:
  CInternetHandle(DWORD type, std::shared_ptr<CInternetHandle> parent, DWORD_PTR context);
  virtual ~CInternetHandle() = default;
  CInternetHandle(const CInternetHandle&) = delete;
  CInternetHandle& operator=(const CInternetHandle&) = delete;

  DWORD Type() const { return type; }
  DWORD_PTR Context() const { return context; }
  HINTERNET Handle() const { return handle.load(); }
  void SetHandle(HINTERNET value) { handle.store(value); }
  const std::shared_ptr<CInternetHandle>& Parent() const { return parent; }
  // The session this handle was made under (itself for a session).
  virtual CInternetSession* Session();

  INTERNET_STATUS_CALLBACK Callback() const { return callback.load(); }
  INTERNET_STATUS_CALLBACK SetCallback(INTERNET_STATUS_CALLBACK value) {
    return callback.exchange(value);
  }
  // Reports a status to the callback in force, if any and if the context is not 0.
  void Notify(DWORD status, void* information, DWORD length);

  // Ends what the handle runs; after it returns nothing of the handle reaches its caller.
  virtual void Close() {}

 private:
  const DWORD type;
  const std::shared_ptr<CInternetHandle> parent;
  const DWORD_PTR context;
  std::atomic<HINTERNET> handle{nullptr};
  std::atomic<INTERNET_STATUS_CALLBACK> callback{nullptr};
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETHANDLE_LINUX_H_
