// ICMP echo towards an IPv4 address with a chosen TTL: the IcmpCreateFile / IcmpSendEcho /
// IcmpCloseHandle stand-in. Uses a ping socket (SOCK_DGRAM, IPPROTO_ICMP) when the system
// lets this user have one (net.ipv4.ping_group_range), else a raw socket (root or
// CAP_NET_RAW). As with IcmpSendEcho, an answer from a router on the way (time exceeded,
// unreachable) is a reply, from that router.
//
// One thread uses an object at a time; the stop object it is handed may be signalled from any
// thread. The object owns its socket.
#ifndef ZVNET_PLATFORM_IPHELPER_ICMPECHO_H_
#define ZVNET_PLATFORM_IPHELPER_ICMPECHO_H_

#include <cstdint>

#include "platform/win32/WinTypes.h"

// What one echo came to, on either platform.
struct IcmpEchoReply {
  enum class Status { kReply, kTimedOut, kStopped, kFailed };
  Status status = Status::kFailed;
  uint32_t address = 0;  // the replier, network byte order
  DWORD roundTripMs = 0;
  uint8_t icmpType = 0;  // 0 echo reply, 3 unreachable, 11 time exceeded
};

#ifdef _WIN32
#include "platform/iphelper/IcmpEcho_win.h"  // IcmpSendEcho itself
#else
#include "platform/win32/UniqueFd.h"
#include "platform/win32/Waitable.h"

class CIcmpEcho {
 public:
  enum class Kind { kNone, kPing, kRaw };

  using Reply = IcmpEchoReply;

  // kPing: a ping socket, else a raw one. kRaw: a raw socket only (a seam for tests).
  explicit CIcmpEcho(Kind wanted = Kind::kPing);
  CIcmpEcho(const CIcmpEcho&) = delete;
  CIcmpEcho& operator=(const CIcmpEcho&) = delete;

  bool IsValid() const { return socket.IsValid(); }
  Kind GetKind() const { return kind; }

  // Sends one echo request carrying 32 zero bytes with `ttl`, and waits up to `timeoutMs` for
  // its reply, or until `stop` (may be null) is signalled. Replies to earlier requests are
  // passed over.
  Reply SendEcho(uint32_t destination, uint8_t ttl, DWORD timeoutMs, const CWaitable* stop);

 private:
  bool Send(uint32_t destination, uint8_t ttl);
  // Reads what is waiting on the socket; true when it was the reply to the current request.
  bool ReadPending(uint32_t destination, Reply* reply);
  bool ReadErrorQueue(Reply* reply);
  bool ReadPingReply(Reply* reply);
  bool ReadRawReply(uint32_t destination, Reply* reply);

  UniqueFd socket;
  Kind kind = Kind::kNone;
  uint16_t identifier = 0;  // raw sockets only; the kernel picks it for ping sockets
  uint16_t sequence = 0;    // of the current request
};
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_IPHELPER_ICMPECHO_H_
