// A Windows Sockets UDP socket as the library uses it: IPv4, bound to an ephemeral port, with
// send and receive time-outs, sendto and recvfrom. On Windows it is Winsock 2.2 itself
// (platform/winsock/UdpSocket_win.cpp, which also starts and ends the use of Winsock); on Linux
// the same calls on a POSIX socket (UdpSocket_linux.cpp here). Error numbers are the platform's.
//
// Owns the socket. Sends and receives may run on different threads at once; Open, Bind and
// SetTimeouts come first, on one thread.
#ifndef ZVNET_PLATFORM_WINSOCK_UDPSOCKET_H_
#define ZVNET_PLATFORM_WINSOCK_UDPSOCKET_H_

#include <cstddef>

#include "platform/win32/WinTypes.h"

#ifdef _WIN32
#include <ws2tcpip.h>  // getaddrinfo, socklen_t
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

class CUdpSocket {
 public:
#ifdef _WIN32
  using Handle = SOCKET;
#else
  using Handle = int;
#endif
  // SendTo flag: fail with a time-out error instead of waiting for room to send.
  static const int kNoWait;

  CUdpSocket() = default;
  ~CUdpSocket();
  CUdpSocket(CUdpSocket&& other) noexcept;
  CUdpSocket& operator=(CUdpSocket&& other) noexcept;
  CUdpSocket(const CUdpSocket&) = delete;
  CUdpSocket& operator=(const CUdpSocket&) = delete;

  // Makes the socket; false when it could not be made.
  bool Open();
  bool IsValid() const;
  Handle Get() const {
    return handle;
  }
  // Binds to 0.0.0.0 and a port the system picks.
  bool BindAnyPort();
  // The bound port, or -1.
  int LocalPort() const;
  // As with Winsock, a time-out that cannot be set is ignored: the socket then blocks.
  void SetTimeouts(DWORD sendTimeoutMs, DWORD recvTimeoutMs);

  // The bytes sent, or -1 with *error set. flags: 0 or kNoWait.
  long SendTo(const void* data, size_t length, const sockaddr_in& to, int flags, int* error) const;
  // One datagram of at most `capacity` bytes: its length, or -1 with *error set; a longer
  // datagram is dropped with an error (EMSGSIZE, WSAEMSGSIZE).
  long ReceiveFrom(unsigned char* buffer, size_t capacity, sockaddr_in* from, int* error) const;
  // A datagram (or a pending error) waits to be read.
  bool HasUnreadDatagram() const;

  // The error of a send or receive time-out (or of a kNoWait send that would wait).
  static bool IsTimeout(int error);

 private:
  void Close();

#ifdef _WIN32
  Handle handle = INVALID_SOCKET;
  bool winsockStarted = false;
  DWORD recvTimeoutMs = 0;  // 0: wait for a datagram however long it takes
#else
  Handle handle = -1;
#endif
};

// The same calls on both platforms.
inline bool CUdpSocket::BindAnyPort() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  return ::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

inline int CUdpSocket::LocalPort() const {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
  return ntohs(bound.sin_port);
}

#endif  // ZVNET_PLATFORM_WINSOCK_UDPSOCKET_H_
