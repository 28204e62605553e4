#include "http/report/RouteTrace.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/iphelper/HostLookup.h"
#include "platform/iphelper/IcmpEcho.h"
#include "platform/win32/AnsiCodePage.h"

namespace {

// The host's first IPv4 address: dotted text as it stands, else a name look-up.
bool ResolveIpv4(const std::wstring& host, uint32_t* address) {
  const std::string name = WideToAnsi(host);
  if (name.empty()) return false;
  const uint32_t dotted = InetAddr(name.c_str());
  if (dotted != kInetAddrNone) {
    *address = dotted;
    return true;
  }
  std::string officialName;
  std::vector<uint32_t> addresses;
  if (GetHostByName(name.c_str(), officialName, addresses) != 0) return false;
  *address = addresses.front();
  return true;
}

// inet_ntoa's text of an address in network byte order.
std::string DottedText(uint32_t address) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
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
      // ICMP turned out not to be permitted: no trace, as without an ICMP socket.
      if (!echo.IsValid()) {
        hops.clear();
        return;
      }
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
