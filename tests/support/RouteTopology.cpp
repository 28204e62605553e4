#include "tests/support/RouteTopology.h"

CRouteTopology::CRouteTopology() {
  ok = client.Ok() && router1.Ok() && router2.Ok() && server.Ok() &&
       Link(client, "10.71.1.1/24", router1, "10.71.1.2/24") &&
       Link(router1, "10.71.2.1/24", router2, "10.71.2.2/24") &&
       Link(router2, "10.71.3.1/24", server, "10.71.3.2/24") &&
       router1.Sysctl("net.ipv4.ip_forward", "1") && router2.Sysctl("net.ipv4.ip_forward", "1") &&
       client.Ip({"route", "add", "default", "via", "10.71.1.2"}) &&
       router1.Ip({"route", "add", "10.71.3.0/24", "via", "10.71.2.2"}) &&
       router2.Ip({"route", "add", "10.71.1.0/24", "via", "10.71.2.1"}) &&
       server.Ip({"route", "add", "default", "via", "10.71.3.1"});
}

bool CRouteTopology::SilenceRouter2() {
  // What router2 itself sends (its ICMP errors) goes to a table that drops it; what it
  // forwards does not come from it and is routed as before.
  return router2.Ip({"route", "add", "blackhole", "default", "table", "100"}) &&
         router2.Ip({"rule", "add", "iif", "lo", "ipproto", "icmp", "lookup", "100"});
}

bool CRouteTopology::AllowPingSockets() {
  return client.Sysctl("net.ipv4.ping_group_range", "0 2147483647");
}

bool CRouteTopology::Link(const CNamedNetns& a, const std::string& aAddress, const CNamedNetns& b,
                          const std::string& bAddress) {
  const std::string aSide = "to-" + b.Role();
  const std::string bSide = "to-" + a.Role();
  // Made inside `a`, so no interface name is ever taken in the root namespace.
  return a.Ip({"link", "add", aSide, "type", "veth", "peer", "name", bSide, "netns", b.Name()}) &&
         a.Ip({"addr", "add", aAddress, "dev", aSide}) &&
         b.Ip({"addr", "add", bAddress, "dev", bSide}) && a.Ip({"link", "set", aSide, "up"}) &&
         b.Ip({"link", "set", bSide, "up"});
}
