// Windows: a socket as something to wait for beside events, signalled while it has data to
// read. For its lifetime an event is selected for FD_READ on the socket (WSAEventSelect), which
// also makes the socket non-blocking; the destructor ends the selection and makes the socket
// blocking again. Does not own the socket; make one at a time per socket.
#ifndef ZVNET_PLATFORM_WIN32_SOCKETWAITABLE_WIN_H_
#define ZVNET_PLATFORM_WIN32_SOCKETWAITABLE_WIN_H_

#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

class CSocketWaitable : public CWaitable {
 public:
  explicit CSocketWaitable(SOCKET socket) : socket(socket), event(::WSACreateEvent()) {
    if (event != WSA_INVALID_EVENT) ::WSAEventSelect(socket, event, FD_READ);
  }
  ~CSocketWaitable() override {
    if (event == WSA_INVALID_EVENT) return;
    ::WSAEventSelect(socket, nullptr, 0);
    u_long blocking = 0;
    ::ioctlsocket(socket, FIONBIO, &blocking);
    ::WSACloseEvent(event);
  }
  CSocketWaitable(const CSocketWaitable&) = delete;
  CSocketWaitable& operator=(const CSocketWaitable&) = delete;

  HANDLE WaitHandle() const override { return event; }

 private:
  SOCKET socket;
  WSAEVENT event;
};

#endif  // ZVNET_PLATFORM_WIN32_SOCKETWAITABLE_WIN_H_
