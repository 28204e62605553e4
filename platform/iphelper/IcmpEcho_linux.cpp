#include "platform/iphelper/IcmpEcho.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/errqueue.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/win32/Wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kUnreachable = 3;
constexpr uint8_t kEchoRequest = 8;
constexpr uint8_t kTimeExceeded = 11;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kDataBytes = 32;
constexpr int kIcmpFilter = 1;  // ICMP_FILTER of <linux/icmp.h>, at level SOL_RAW

class CSocketReadable : public CWaitable {
 public:
  explicit CSocketReadable(int fd) : fd(fd) {}
  int WaitFd() const override { return fd; }

 private:
  int fd;
};

uint16_t ReadBe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t ReadAddress(const uint8_t* p) {
  uint32_t address;
  std::memcpy(&address, p, 4);
  return address;
}

uint16_t Checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += ReadBe16(data + i);
  if (length % 2) sum += data[length - 1] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// The echo request an answer quotes is ours when its identifier (raw sockets only) and
// sequence match.
bool QuotesRequest(const uint8_t* icmp, size_t length, bool checkId, uint16_t id, uint16_t seq) {
  if (length < kHeaderBytes || icmp[0] != kEchoRequest) return false;
  return (!checkId || ReadBe16(icmp + 4) == id) && ReadBe16(icmp + 6) == seq;
}

uint16_t NextIdentifier() {
  static std::atomic<uint32_t> counter{0};
  return static_cast<uint16_t>(::getpid() * 7919u + counter.fetch_add(1) * 104729u);
}

}  // namespace

CIcmpEcho::CIcmpEcho(Kind wanted) {
  if (wanted == Kind::kPing) {
    socket.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    int on = 1;
    if (socket.IsValid() && ::setsockopt(socket.Get(), SOL_IP, IP_RECVERR, &on, sizeof on) == 0) {
      kind = Kind::kPing;
      return;
    }
    socket.Reset();
  }
  socket.Reset(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!socket.IsValid()) return;
  // Only the answers an echo can get; the kernel drops the rest before they queue here.
  uint32_t dropped = ~((1u << kEchoReply) | (1u << kUnreachable) | (1u << kTimeExceeded));
  ::setsockopt(socket.Get(), SOL_RAW, kIcmpFilter, &dropped, sizeof dropped);  // best effort
  kind = Kind::kRaw;
  identifier = NextIdentifier();
}

CIcmpEcho::Reply CIcmpEcho::SendEcho(uint32_t destination, uint8_t ttl, DWORD timeoutMs,
                                     const CWaitable* stop) {
  Reply reply;
  ++sequence;
  if (!socket.IsValid() || !Send(destination, ttl)) return reply;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  CSocketReadable readable(socket.Get());
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    DWORD waitMs = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    DWORD woken = stop ? WaitForMultipleObjects({stop, &readable}, waitMs)
                       : WaitForSingleObject(readable, waitMs);
    if (stop && woken == WAIT_OBJECT_0) {
      reply.status = Reply::Status::kStopped;
      return reply;
    }
    if (woken == WAIT_TIMEOUT) {
      reply.status = Reply::Status::kTimedOut;
      return reply;
    }
    if (woken == WAIT_FAILED) return reply;
    if (ReadPending(destination, &reply)) {
      auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      reply.roundTripMs = static_cast<DWORD>(elapsed.count());
      reply.status = Reply::Status::kReply;
      return reply;
    }
  }
}

bool CIcmpEcho::Send(uint32_t destination, uint8_t ttl) {
  int hops = ttl;
  if (::setsockopt(socket.Get(), SOL_IP, IP_TTL, &hops, sizeof hops) != 0) return false;
  std::array<uint8_t, kHeaderBytes + kDataBytes> packet{};
  packet[0] = kEchoRequest;
  packet[4] = static_cast<uint8_t>(identifier >> 8);
  packet[5] = static_cast<uint8_t>(identifier);
  packet[6] = static_cast<uint8_t>(sequence >> 8);
  packet[7] = static_cast<uint8_t>(sequence);
  if (kind == Kind::kRaw) {  // the kernel fills identifier and checksum of ping sockets
    uint16_t sum = Checksum(packet.data(), packet.size());
    packet[2] = static_cast<uint8_t>(sum >> 8);
    packet[3] = static_cast<uint8_t>(sum);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t sent = ::sendto(socket.Get(), packet.data(), packet.size(), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent == static_cast<ssize_t>(packet.size())) return true;
    // A ping socket may report an earlier probe's ICMP error here; drop it and retry.
    if (kind != Kind::kPing) return false;
    Reply stale;
    ReadErrorQueue(&stale);
  }
  return false;
}

bool CIcmpEcho::ReadPending(uint32_t destination, Reply* reply) {
  if (kind == Kind::kRaw) return ReadRawReply(destination, reply);
  return ReadErrorQueue(reply) || ReadPingReply(reply);
}

// Errors of ping sockets (time exceeded, unreachable) arrive on the error queue, each with
// the request it answers and the address of the router that sent it.
bool CIcmpEcho::ReadErrorQueue(Reply* reply) {
  bool found = false;
  for (;;) {
    std::array<uint8_t, 128> data;
    std::array<char, 512> control;
    sockaddr_in to{};
    iovec io{data.data(), data.size()};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    ssize_t length = ::recvmsg(socket.Get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (length < 0) return found;
    if (found || !QuotesRequest(data.data(), static_cast<size_t>(length), false, 0, sequence)) {
      continue;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
      const auto* error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
      if (error->ee_origin != SO_EE_ORIGIN_ICMP) continue;
      sockaddr_in from;
      std::memcpy(&from, SO_EE_OFFENDER(error), sizeof from);
      reply->address = from.sin_addr.s_addr;
      reply->icmpType = error->ee_type;
      found = true;
    }
  }
}

bool CIcmpEcho::ReadPingReply(Reply* reply) {
  for (;;) {
    std::array<uint8_t, 128> data;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t length = ::recvfrom(socket.Get(), data.data(), data.size(), MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length < 0) return false;
    if (length >= static_cast<ssize_t>(kHeaderBytes) && data[0] == kEchoReply &&
        ReadBe16(data.data() + 6) == sequence) {
      reply->address = from.sin_addr.s_addr;
      reply->icmpType = kEchoReply;
      return true;
    }
  }
}

// A raw socket sees every ICMP message of the host: an echo reply must carry our identifier
// and sequence; an error must quote our request to this destination.
bool CIcmpEcho::ReadRawReply(uint32_t destination, Reply* reply) {
  for (;;) {
    std::array<uint8_t, 1500> data;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t read = ::recvfrom(socket.Get(), data.data(), data.size(), MSG_DONTWAIT,
                              reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (read < 0) return false;
    const auto length = static_cast<size_t>(read);
    if (length < 20) continue;
    const size_t outer = (data[0] & 0x0F) * 4u;
    if (length < outer + kHeaderBytes) continue;
    const uint8_t* icmp = data.data() + outer;
    bool ours = false;
    if (icmp[0] == kEchoReply) {
      ours = ReadBe16(icmp + 4) == identifier && ReadBe16(icmp + 6) == sequence;
    } else if (icmp[0] == kTimeExceeded || icmp[0] == kUnreachable) {
      const uint8_t* quoted = icmp + kHeaderBytes;
      const size_t quotedLength = length - outer - kHeaderBytes;
      const size_t inner = quotedLength >= 20 ? (quoted[0] & 0x0F) * 4u : 0;
      ours = inner >= 20 && inner <= quotedLength && quoted[9] == IPPROTO_ICMP &&
             ReadAddress(quoted + 16) == destination &&
             QuotesRequest(quoted + inner, quotedLength - inner, true, identifier, sequence);
    }
    if (ours) {
      reply->address = from.sin_addr.s_addr;
      reply->icmpType = icmp[0];
      return true;
    }
  }
}
