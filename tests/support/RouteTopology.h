// Four network namespaces in a row, joined by veth pairs, for route traces:
//
//   client 10.71.1.1 -- 10.71.1.2 router1 10.71.2.1 -- 10.71.2.2 router2 10.71.3.1 --
//   10.71.3.2 server
//
// The routers forward; client and server route through them. Needs root. Owns the
// namespaces; tests run in them with Client().RunOnThread and Server().RunOnThread.
#ifndef ZVNET_TESTS_SUPPORT_ROUTETOPOLOGY_H_
#define ZVNET_TESTS_SUPPORT_ROUTETOPOLOGY_H_

#include <string>

#include "tests/support/NetNamespace.h"

class CRouteTopology {
 public:
  static constexpr char kRouter1[] = "10.71.1.2";  // as the client sees it
  static constexpr char kRouter2[] = "10.71.2.2";  // its side towards router1
  static constexpr char kServer[] = "10.71.3.2";

  CRouteTopology();
  CRouteTopology(const CRouteTopology&) = delete;
  CRouteTopology& operator=(const CRouteTopology&) = delete;

  // All four namespaces exist (for ZVNET_REQUIRE_NAMESPACE).
  bool IsValid() const {
    return client.IsValid() && router1.IsValid() && router2.IsValid() && server.IsValid();
  }
  // The links and routes are in place.
  bool IsReady() const { return ready; }

  // router2 forwards but sends no ICMP of its own: a silent hop.
  // What router2 itself sends (its ICMP errors) goes to a table that drops it; what it
  // forwards does not come from it and is routed as before.
  bool SilenceRouter2() const {
    return router2.Ip("route add blackhole default table 100") &&
           router2.Ip("rule add iif lo ipproto icmp lookup 100");
  }
  // Lets root open ping sockets in the client namespace (they are off by default).
  bool AllowPingSockets() const {
    return client.Sysctl("net/ipv4/ping_group_range", "0 2147483647");
  }

  const CNetNamespace& Client() const { return client; }
  const CNetNamespace& Server() const { return server; }

 private:
  static bool Link(const CNetNamespace& a, const std::string& aEnd, const std::string& aAddress,
                   const CNetNamespace& b, const std::string& bEnd, const std::string& bAddress);

  CNetNamespace client;
  CNetNamespace router1;
  CNetNamespace router2;
  CNetNamespace server;
  bool ready = false;
};

#endif  // ZVNET_TESTS_SUPPORT_ROUTETOPOLOGY_H_
