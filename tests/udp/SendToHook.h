// Stands in for sendto in every UDP task while it lives, so tests can give the send side the
// outcomes loopback never produces. By the text at the start of the datagram's payload:
//   "hook-timeout"  fails as a send time-out (EAGAIN)
//   "hook-part"     sends all but the last byte
//   "hook-block"    waits until Release() before sending (would block: EAGAIN, when the
//                   caller asked not to wait)
//   "hook-slow"     sends, then holds the sending thread until the slow condition holds
// Anything else is sent normally. One hook at a time.
#ifndef ZVNET_TESTS_UDP_SENDTOHOOK_H_
#define ZVNET_TESTS_UDP_SENDTOHOOK_H_

#include <sys/socket.h>

#include <chrono>
#include <functional>

#include "platform/win32/Event.h"

class CSendToHook {
 public:
  CSendToHook();
  ~CSendToHook();
  CSendToHook(const CSendToHook&) = delete;
  CSendToHook& operator=(const CSendToHook&) = delete;

  // Waits until a "hook-block" datagram is held.
  bool WaitBlocked(std::chrono::milliseconds deadline);
  void Release() { released.Set(); }
  void SetSlowCondition(std::function<bool()> done) { slowDone = std::move(done); }

 private:
  static ssize_t SendTo(int fd, const void* buffer, size_t length, int flags, const sockaddr* to,
                        socklen_t toLength);

  CEvent blocked{CEvent::ResetMode::kManual};
  CEvent released{CEvent::ResetMode::kManual};
  std::function<bool()> slowDone;
};

#endif  // ZVNET_TESTS_UDP_SENDTOHOOK_H_
