#include "tools/UdpReferenceServer.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "tools/UniqueSocket.h"
#include "udp/UdpDatagram.h"

namespace {

constexpr size_t kMaxDatagram = 65536;

UniqueSocket BindUdp(const std::string& address, unsigned short port, unsigned short* bound) {
  UniqueSocket fd(OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  if (!fd.IsValid()) return {};
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) return {};
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return {};
  socklen_t length = sizeof local;
  if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
  *bound = ntohs(local.sin_port);
  return fd;
}

}  // namespace

std::vector<UdpReplyPlan> CUdpReferenceServer::Echo(const UdpServedRequest& request) {
  if (!request.wellFormed) return {};
  UdpReplyPlan reply;
  reply.cookie = request.cookie;
  reply.payload = request.payload;
  return {reply};
}

std::vector<unsigned char> CUdpReferenceServer::BuildReply(const UdpReplyPlan& plan) {
  if (!plan.raw.empty()) return plan.raw;
  const int size = static_cast<int>(plan.payload.size());
  std::vector<unsigned char> body =
      ScrambleBytes(reinterpret_cast<const unsigned char*>(plan.payload.data()), size);
  body.pop_back();  // replies carry no terminator
  std::vector<unsigned char> reply(kUdpHeaderSize, 0);
  reply[0] = plan.magic[0];
  reply[1] = plan.magic[1];
  WriteBigEndian32(&reply[2], plan.cookie);
  uint32_t checkSum = CalcCheckSum(body.data(), size);
  if (plan.wrongCheckSum) checkSum ^= 0xA5A5A5A5u;
  WriteBigEndian32(&reply[6], checkSum);
  const uint16_t length = static_cast<uint16_t>(size + plan.lengthSkew);
  reply[10] = static_cast<unsigned char>(length >> 8);
  reply[11] = static_cast<unsigned char>(length);
  reply.insert(reply.end(), body.begin(), body.end());
  if (plan.trailingZero) reply.push_back(0);
  if (reply.size() < plan.padTo) reply.resize(plan.padTo, 0);
  return reply;
}

CUdpReferenceServer::CUdpReferenceServer()
    : behaviour(&CUdpReferenceServer::Echo), readBuffer(kMaxDatagram) {}

CUdpReferenceServer::~CUdpReferenceServer() {
  Stop();
}

long CUdpReferenceServer::Start(const std::string& address, unsigned short wantedPort) {
  if (thread.joinable() || !stopSignal.IsValid()) return E_FAIL;
  socket = BindUdp(address, wantedPort, &port);
  otherSocket = BindUdp(address, 0, &otherPort);
  if (!socket.IsValid() || !otherSocket.IsValid()) return E_FAIL;
  try {
    thread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return E_FAIL;
  }
  return S_OK;
}

void CUdpReferenceServer::Stop() {
  if (!thread.joinable()) return;
  stopSignal.Set();
  thread.join();
  stopSignal.Reset();
}

void CUdpReferenceServer::SetBehaviour(Behaviour hook) {
  std::lock_guard guard(lock);
  behaviour = hook ? std::move(hook) : Behaviour(&CUdpReferenceServer::Echo);
}

size_t CUdpReferenceServer::RequestCount() {
  std::lock_guard guard(lock);
  return requestCount;
}

void CUdpReferenceServer::Run() {
  for (;;) {
    pollfd fds[2] = {{socket.Get(), POLLIN, 0}, {stopSignal.WaitFd(), POLLIN, 0}};
    const int ready = PollSockets(fds, 2, NextWaitMs());
    if (fds[1].revents & POLLIN) return;
    if (ready > 0 && (fds[0].revents & POLLIN)) ServeOne();
    SendDue();
  }
}

void CUdpReferenceServer::ServeOne() {
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  const auto n = ::recvfrom(socket.Get(), reinterpret_cast<char*>(readBuffer.data()),
                            static_cast<int>(readBuffer.size()), kDontWait,
                            reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (n < 0) return;
  const UdpServedRequest request = Parse(readBuffer.data(), static_cast<size_t>(n), from);
  Behaviour hook;
  {
    std::lock_guard guard(lock);
    ++requestCount;
    hook = behaviour;
  }
  const auto now = std::chrono::steady_clock::now();
  for (const UdpReplyPlan& plan : hook(request)) {
    pending.push_back({now + plan.delay, BuildReply(plan), plan.fromOtherPort, from});
  }
}

void CUdpReferenceServer::SendDue() {
  const auto now = std::chrono::steady_clock::now();
  // Oldest due first, so replies with equal delays keep their order.
  std::stable_sort(pending.begin(), pending.end(),
                   [](const PendingReply& a, const PendingReply& b) { return a.due < b.due; });
  auto it = pending.begin();
  for (; it != pending.end() && it->due <= now; ++it) {
    const SocketHandle fd = it->fromOtherPort ? otherSocket.Get() : socket.Get();
    // A reply the socket refuses (too large, buffer full) is lost, as on a real network.
    ::sendto(fd, reinterpret_cast<const char*>(it->bytes.data()),
             static_cast<int>(it->bytes.size()), kNoSigPipe,
             reinterpret_cast<const sockaddr*>(&it->to), sizeof it->to);
  }
  pending.erase(pending.begin(), it);
}

int CUdpReferenceServer::NextWaitMs() const {
  if (pending.empty()) return -1;
  auto earliest =
      std::min_element(pending.begin(), pending.end(),
                       [](const PendingReply& a, const PendingReply& b) { return a.due < b.due; })
          ->due;
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(earliest - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(left.count(), 0));
}

UdpServedRequest CUdpReferenceServer::Parse(const unsigned char* bytes, size_t size,
                                            const sockaddr_in& from) {
  UdpServedRequest request;
  request.raw.assign(bytes, bytes + size);
  request.from = from;
  if (size < static_cast<size_t>(kUdpHeaderSize) + 1) return request;
  request.cookie = ReadBigEndian32(&bytes[2]);
  const size_t length = ReadBigEndian16(&bytes[10]);
  const unsigned char* body = &bytes[kUdpHeaderSize];
  request.wellFormed = bytes[0] == 0x01 && bytes[1] == 0x01 &&
                       size == length + kUdpHeaderSize + 1 && body[length] == 0 &&
                       CalcCheckSum(body, static_cast<int>(length)) == ReadBigEndian32(&bytes[6]);
  if (!request.wellFormed) return request;
  const std::vector<unsigned char> plain = ScrambleBytes(body, static_cast<int>(length));
  request.payload.assign(reinterpret_cast<const char*>(plain.data()), length);
  return request;
}
