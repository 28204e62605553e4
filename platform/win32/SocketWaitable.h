// A socket as something to wait for beside events: signalled while it has data to read.
// Does not own the descriptor; the owner keeps it open for as long as waits may use it.
#ifndef ZVNET_PLATFORM_WIN32_SOCKETWAITABLE_H_
#define ZVNET_PLATFORM_WIN32_SOCKETWAITABLE_H_

#ifdef _WIN32
#include "platform/win32/SocketWaitable_win.h"  // WSAEventSelect
#else
#include "platform/win32/Waitable.h"

class CSocketWaitable : public CWaitable {
 public:
  explicit CSocketWaitable(int fd) : fd(fd) {}
  int WaitFd() const override { return fd; }

 private:
  int fd;
};
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_SOCKETWAITABLE_H_
