#include "tests/support/RouteTopology.h"

#include "tests/support/Pump.h"

CRouteTopology::CRouteTopology() {
  ready =
      IsValid() && Link(client, "to-r1", "10.71.1.1/24", router1, "to-client", "10.71.1.2/24") &&
      Link(router1, "to-r2", "10.71.2.1/24", router2, "to-r1", "10.71.2.2/24") &&
      Link(router2, "to-server", "10.71.3.1/24", server, "to-r2", "10.71.3.2/24") &&
      router1.Sysctl("net/ipv4/ip_forward", "1") && router2.Sysctl("net/ipv4/ip_forward", "1") &&
      client.Ip("route add default via 10.71.1.2") &&
      router1.Ip("route add 10.71.3.0/24 via 10.71.2.2") &&
      router2.Ip("route add 10.71.1.0/24 via 10.71.2.1") &&
      server.Ip("route add default via 10.71.3.1");
}

bool CRouteTopology::Link(const CNetNamespace& a, const std::string& aEnd,
                          const std::string& aAddress, const CNetNamespace& b,
                          const std::string& bEnd, const std::string& bAddress) {
  // Made inside `a`, so no interface name is ever taken in the root namespace.
  return a.Ip("link add " + aEnd + " type veth peer name " + bEnd + " netns " + b.Name()) &&
         a.Ip("addr add " + aAddress + " dev " + aEnd) &&
         b.Ip("addr add " + bAddress + " dev " + bEnd) && a.Ip("link set " + aEnd + " up") &&
         b.Ip("link set " + bEnd + " up") &&
         // A probe sent before the carrier is up would be lost and look like a silent hop.
         WaitUntil([&] { return a.IsRunning(aEnd) && b.IsRunning(bEnd); }, 10s);
}
