#include "platform/winsock/UdpSocket.h"

#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

void SetTimeout(int fd, int option, DWORD timeoutMs) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

}  // namespace

const int CUdpSocket::kNoWait = MSG_DONTWAIT;

CUdpSocket::~CUdpSocket() {
  Close();
}

CUdpSocket::CUdpSocket(CUdpSocket&& other) noexcept : handle(std::exchange(other.handle, -1)) {}

CUdpSocket& CUdpSocket::operator=(CUdpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle = std::exchange(other.handle, -1);
  }
  return *this;
}

void CUdpSocket::Close() {
  if (handle >= 0) ::close(handle);
  handle = -1;
}

bool CUdpSocket::Open() {
  Close();
  handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return IsValid();
}

bool CUdpSocket::IsValid() const {
  return handle >= 0;
}

void CUdpSocket::SetTimeouts(DWORD sendTimeoutMs, DWORD recvTimeoutMs) {
  SetTimeout(handle, SO_SNDTIMEO, sendTimeoutMs);
  SetTimeout(handle, SO_RCVTIMEO, recvTimeoutMs);
}

long CUdpSocket::SendTo(const void* data, size_t length, const sockaddr_in& to, int flags,
                        int* error) const {
  const ssize_t sent = ::sendto(handle, data, length, flags | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  *error = sent < 0 ? errno : 0;
  return static_cast<long>(sent);
}

long CUdpSocket::ReceiveFrom(unsigned char* buffer, size_t capacity, sockaddr_in* from,
                             int* error) const {
  socklen_t fromLength = sizeof *from;
  // MSG_TRUNC answers the datagram's real size, so an oversized one is seen as such.
  const ssize_t n = ::recvfrom(handle, buffer, capacity, MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(from), &fromLength);
  if (n < 0) {
    *error = errno;
    return -1;
  }
  if (static_cast<size_t>(n) > capacity) {
    *error = EMSGSIZE;
    return -1;
  }
  return static_cast<long>(n);
}

bool CUdpSocket::HasUnreadDatagram() const {
  pollfd p{handle, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLERR));
}

// The receive or send time-out of a socket with SO_RCVTIMEO / SO_SNDTIMEO (WSAETIMEDOUT).
bool CUdpSocket::IsTimeout(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}
