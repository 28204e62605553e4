// Windows: ICMP echo through IP Helper's IcmpCreateFile / IcmpSendEcho / IcmpCloseHandle, the
// TTL set in the request's IP options. An answer from a router on the way (time exceeded,
// unreachable) is a reply, from that router.
//
// IcmpSendEcho blocks for its time-out, so a stop is seen before and after each echo: a trace
// ends within the echo under way. One thread uses an object at a time; the stop object may be
// signalled from any thread. The object owns its ICMP handle.
#ifndef ZVNET_PLATFORM_IPHELPER_ICMPECHO_WIN_H_
#define ZVNET_PLATFORM_IPHELPER_ICMPECHO_WIN_H_

#include <cstdint>

#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

class CIcmpEcho {
 public:
  using Reply = IcmpEchoReply;  // platform/iphelper/IcmpEcho.h, which includes this

  CIcmpEcho();
  ~CIcmpEcho();
  CIcmpEcho(const CIcmpEcho&) = delete;
  CIcmpEcho& operator=(const CIcmpEcho&) = delete;

  // False once an echo found that ICMP is not permitted (ERROR_ACCESS_DENIED, as Wine answers
  // without a raw or ping socket): every later echo fails at once.
  bool IsValid() const { return handle != INVALID_HANDLE_VALUE; }

  // Sends one echo request carrying 32 zero bytes with `ttl`, and waits up to `timeoutMs` for
  // its reply; `stop` (may be null) signalled before or during it gives kStopped.
  Reply SendEcho(uint32_t destination, uint8_t ttl, DWORD timeoutMs, const CWaitable* stop);

 private:
  HANDLE handle;
};

#endif  // ZVNET_PLATFORM_IPHELPER_ICMPECHO_WIN_H_
