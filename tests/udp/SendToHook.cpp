#include "tests/udp/SendToHook.h"

#include <atomic>
#include <cerrno>
#include <string>

#include "tests/support/Pump.h"
#include "udp/UdpDatagram.h"
#include "udp/UdpTask.h"

namespace {

std::atomic<CSendToHook*> active{nullptr};

bool PayloadStartsWith(const void* buffer, size_t length, const std::string& marker) {
  const auto* bytes = static_cast<const unsigned char*>(buffer) + kUdpHeaderSize;
  if (length < kUdpHeaderSize + marker.size()) return false;
  for (size_t i = 0; i < marker.size(); ++i) {
    if ((bytes[i] ^ kUdpScrambleMask) != static_cast<unsigned char>(marker[i])) return false;
  }
  return true;
}

}  // namespace

CSendToHook::CSendToHook() {
  active.store(this);
  CUdpTask::SetSendToForTesting(&CSendToHook::SendTo);
}

CSendToHook::~CSendToHook() {
  Release();
  CUdpTask::SetSendToForTesting(nullptr);
  active.store(nullptr);
}

bool CSendToHook::WaitBlocked(std::chrono::milliseconds deadline) {
  return blocked.Wait(static_cast<DWORD>(deadline.count())) == WAIT_OBJECT_0;
}

ssize_t CSendToHook::SendTo(int fd, const void* buffer, size_t length, int flags,
                            const sockaddr* to, socklen_t toLength) {
  CSendToHook* hook = active.load();
  auto is = [&](const char* marker) { return hook && PayloadStartsWith(buffer, length, marker); };
  if (is("hook-timeout") || (is("hook-block") && (flags & MSG_DONTWAIT))) {
    errno = EAGAIN;
    return -1;
  }
  if (is("hook-part")) return ::sendto(fd, buffer, length - 1, flags, to, toLength);
  if (is("hook-block")) {
    hook->blocked.Set();
    hook->released.Wait(INFINITE);
  }
  const ssize_t sent = ::sendto(fd, buffer, length, flags, to, toLength);
  if (is("hook-slow") && hook->slowDone) WaitUntil(hook->slowDone, std::chrono::milliseconds(3000));
  return sent;
}
