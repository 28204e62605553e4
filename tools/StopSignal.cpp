#include "tools/StopSignal.h"

#ifndef _WIN32
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <cstdint>

namespace {

// Polls for up to `timeoutMs` (-1: without limit); true when readable.
bool Readable(SocketHandle handle, int timeoutMs) {
  pollfd waited{handle, POLLIN, 0};
  return PollSockets(&waited, 1, timeoutMs) > 0;
}

#ifdef _WIN32
UniqueSocket ConnectedToItself() {
  UniqueSocket socket(OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof self;
  u_long nonBlocking = 1;
  auto* address = reinterpret_cast<sockaddr*>(&self);
  if (!socket.IsValid() || ::bind(socket.Get(), address, sizeof self) != 0 ||
      ::getsockname(socket.Get(), address, &length) != 0 ||
      ::connect(socket.Get(), address, sizeof self) != 0 ||
      ::ioctlsocket(socket.Get(), FIONBIO, &nonBlocking) != 0) {
    return {};
  }
  return socket;
}
#endif

}  // namespace

#ifdef _WIN32

CStopSignal::CStopSignal() : handle(ConnectedToItself()) {}

void CStopSignal::Set() {
  const char one = 1;
  // A datagram on loopback is only refused when the buffer is full, and then it is set.
  ::send(handle.Get(), &one, 1, 0);
}

void CStopSignal::Reset() {
  char byte;
  while (::recv(handle.Get(), &byte, 1, 0) > 0) {
  }
}

#else

CStopSignal::CStopSignal() : handle(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CStopSignal::Set() {
  const uint64_t one = 1;
  // Only fails when the counter would overflow, and then it is set already.
  [[maybe_unused]] ssize_t written = ::write(handle.Get(), &one, sizeof one);
}

void CStopSignal::Reset() {
  uint64_t count = 0;
  // Non-blocking: an unset signal reads EAGAIN.
  [[maybe_unused]] ssize_t read = ::read(handle.Get(), &count, sizeof count);
}

#endif

bool CStopSignal::WaitFor(std::chrono::milliseconds timeout) const {
  const auto ms = timeout.count();
  return Readable(handle.Get(), ms < 0 ? 0 : ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms));
}

void CStopSignal::Wait() const {
  Readable(handle.Get(), -1);
}
