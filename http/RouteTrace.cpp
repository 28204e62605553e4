#include "http/RouteTrace.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <memory>

#include "platform/iphelper/IcmpEcho.h"
#include "platform/win32/AnsiCodePage.h"

namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

bool ResolveIpv4(const std::wstring& host, uint32_t* address) {
  const std::string name = WideToAnsi(host);
  if (name.empty()) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  std::unique_ptr<addrinfo, AddrInfoDeleter> owner(found);
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  return true;
}

std::string DottedText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{address};
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

}  // namespace

void CRouteTrace::Run(const std::wstring& host) {
  hops.clear();
  stopped = false;
  uint32_t address = 0;
  // A host that does not resolve has nothing to probe: the trace stays empty.
  if (ResolveIpv4(host, &address)) RunTo(address);
}

void CRouteTrace::RunTo(uint32_t address) {
  hops.clear();
  stopped = false;
  destination = address;
  CIcmpEcho echo;
  if (!echo.IsValid()) return;
  for (int ttl = 1; ttl < maxHops; ++ttl) {
    CIcmpEcho::Reply reply =
        echo.SendEcho(destination, static_cast<uint8_t>(ttl), probeTimeoutMs, stop);
    if (reply.status == CIcmpEcho::Reply::Status::kStopped) {
      stopped = true;
      return;
    }
    if (reply.status != CIcmpEcho::Reply::Status::kReply) {
      hops.push_back({});
      continue;
    }
    hops.push_back({DottedText(reply.address), static_cast<int32_t>(reply.roundTripMs)});
    if (reply.address == destination) return;
  }
}

std::wstring CRouteTrace::Format() const {
  std::wstring text;
  for (const Hop& hop : hops) {
    text += AnsiToWide(hop.address);
    text += L'[' + std::to_wstring(hop.roundTripMs) + L']';
  }
  return text;
}
