// Four network namespaces in a row, joined by veth pairs, for route traces:
//
//   client 10.71.1.1 -- 10.71.1.2 router1 10.71.2.1 -- 10.71.2.2 router2 10.71.3.1 --
//   10.71.3.2 server
//
// The routers forward; client and server route through them. Needs root.
#ifndef ZVNET_TESTS_SUPPORT_ROUTETOPOLOGY_H_
#define ZVNET_TESTS_SUPPORT_ROUTETOPOLOGY_H_

#include <string>

#include "tests/support/NamedNetns.h"

class CRouteTopology {
 public:
  static constexpr char kRouter1[] = "10.71.1.2";  // as the client sees it
  static constexpr char kRouter2[] = "10.71.2.2";  // its side towards router1
  static constexpr char kServer[] = "10.71.3.2";

  CRouteTopology();
  bool Ok() const { return ok; }

  // router2 forwards but sends no ICMP of its own: a silent hop.
  bool SilenceRouter2();
  // Lets root open ping sockets in the client namespace (they are off by default).
  bool AllowPingSockets();

  const CNamedNetns& Client() const { return client; }
  const CNamedNetns& Server() const { return server; }

 private:
  bool Link(const CNamedNetns& a, const std::string& aAddress, const CNamedNetns& b,
            const std::string& bAddress);

  CNamedNetns client{"client"};
  CNamedNetns router1{"r1"};
  CNamedNetns router2{"r2"};
  CNamedNetns server{"server"};
  bool ok = false;
};

#endif  // ZVNET_TESTS_SUPPORT_ROUTETOPOLOGY_H_
