// Windows: the socket is a Winsock 2.2 socket; each open socket holds one use of Winsock
// (WSAStartup), which its close ends (WSACleanup).
#include "platform/winsock/UdpSocket.h"

#include <mswsock.h>  // SIO_UDP_CONNRESET

#include <utility>

namespace {

// A datagram (or a pending error) waits to be read, or comes within `ms`.
bool WaitReadable(SOCKET socket, DWORD ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval limit{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
  return ::select(0, &readable, nullptr, nullptr, &limit) > 0;
}

}  // namespace

// Ours: Winsock has no per-call "do not wait" flag. A UDP send on Windows hands the datagram
// to the stack without waiting for the network; the send time-out bounds the rest.
const int CUdpSocket::kNoWait = 0x10000;

CUdpSocket::~CUdpSocket() {
  Close();
}

CUdpSocket::CUdpSocket(CUdpSocket&& other) noexcept
    : handle(std::exchange(other.handle, INVALID_SOCKET)),
      winsockStarted(std::exchange(other.winsockStarted, false)),
      recvTimeoutMs(other.recvTimeoutMs) {}

CUdpSocket& CUdpSocket::operator=(CUdpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle = std::exchange(other.handle, INVALID_SOCKET);
    winsockStarted = std::exchange(other.winsockStarted, false);
    recvTimeoutMs = other.recvTimeoutMs;
  }
  return *this;
}

void CUdpSocket::Close() {
  if (handle != INVALID_SOCKET) ::closesocket(handle);
  handle = INVALID_SOCKET;
  if (winsockStarted) ::WSACleanup();
  winsockStarted = false;
}

bool CUdpSocket::Open() {
  Close();
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  winsockStarted = true;
  // Not inherited by child processes, as SOCK_CLOEXEC does on Linux.
  handle = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (!IsValid()) return false;
  // An ICMP "port unreachable" for an earlier datagram would otherwise fail the next
  // recvfrom with WSAECONNRESET; as on Linux, the request waits for its reply or time-out.
  BOOL report = FALSE;
  DWORD unused = 0;
  ::WSAIoctl(handle, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &unused, nullptr,
             nullptr);
  return true;
}

bool CUdpSocket::IsValid() const {
  return handle != INVALID_SOCKET;
}

void CUdpSocket::SetTimeouts(DWORD sendTimeoutMs, DWORD recvTimeoutMs) {
  this->recvTimeoutMs = recvTimeoutMs;
  ::setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeoutMs),
               sizeof sendTimeoutMs);
  ::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&recvTimeoutMs),
               sizeof recvTimeoutMs);
}

long CUdpSocket::SendTo(const void* data, size_t length, const sockaddr_in& to, int /*flags*/,
                        int* error) const {
  const int sent = ::sendto(handle, static_cast<const char*>(data), static_cast<int>(length), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
  *error = sent == SOCKET_ERROR ? ::WSAGetLastError() : 0;
  return sent == SOCKET_ERROR ? -1 : sent;
}

long CUdpSocket::ReceiveFrom(unsigned char* buffer, size_t capacity, sockaddr_in* from,
                             int* error) const {
  // Wine leaves a blocking recvfrom waiting past SO_RCVTIMEO; select bounds the wait anywhere.
  if (recvTimeoutMs != 0 && !WaitReadable(handle, recvTimeoutMs)) {
    *error = WSAETIMEDOUT;
    return -1;
  }
  int fromLength = sizeof *from;
  // A datagram longer than the buffer fails with WSAEMSGSIZE, and the rest of it is lost.
  const int n = ::recvfrom(handle, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                           reinterpret_cast<sockaddr*>(from), &fromLength);
  if (n == SOCKET_ERROR) {
    *error = ::WSAGetLastError();
    return -1;
  }
  return n;
}

bool CUdpSocket::HasUnreadDatagram() const {
  return WaitReadable(handle, 0);
}

bool CUdpSocket::IsTimeout(int error) {
  return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
}
