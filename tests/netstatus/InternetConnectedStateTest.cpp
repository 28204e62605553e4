#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/iphelper/InternetConnectedState.h"
#include "tests/support/NetNamespace.h"

// Only a default route through an up interface other than loopback connects. The rows change
// the namespace's routes one after another.
TEST(InternetConnectedStateTest, ADefaultRouteThroughAnUpInterfaceConnects) {
  CNetNamespace ns;
  ZVNET_REQUIRE_NAMESPACE(ns);
  ASSERT_TRUE(ns.AddLinkPair("v0", "v1"));
  const struct {
    std::vector<std::string> commands;
    bool connected;
    const char* why;
  } rows[] = {
      {{"addr add 10.0.0.1/24 dev v0", "-6 addr add fd00::1/64 dev v0 nodad"}, false, "addresses"},
      {{"route add default via 10.0.0.2 dev v0"}, true, "default route"},
      {{"route del default", "-6 route add default via fd00::2 dev v0"}, true, "IPv6"},
      {{"-6 route del default", "addr add 10.0.1.1/24 dev v1",
        "route add default nexthop via 10.0.0.2 dev v0 nexthop via 10.0.1.2 dev v1"},
       true,
       "multipath"},
      {{"route del default", "route add default dev lo"}, false, "through loopback"},
      {{"route del default dev lo", "route add unreachable default"}, false, "unreachable"},
      {{"route del unreachable default", "route add blackhole default"}, false, "blackhole"},
      {{"route del blackhole default", "route add prohibit default"}, false, "prohibit"},
      {{"route del prohibit default", "route add 192.0.2.0/24 via 10.0.0.2 dev v0"},
       false,
       "not the default route"},
      {{"route add default via 10.0.0.2 dev v0", "link set v0 down"}, false, "interface down"},
  };
  for (const auto& row : rows) {
    for (const std::string& command : row.commands) ASSERT_TRUE(ns.Ip(command)) << command;
    BOOL connected = FALSE;
    DWORD flags = 0xFFFF;
    EXPECT_TRUE(ns.RunOnThread([&] { connected = InternetGetConnectedState(&flags, 0); }));
    EXPECT_EQ(connected == TRUE, row.connected) << row.why;
    EXPECT_EQ(flags, row.connected ? INTERNET_CONNECTION_LAN : 0u) << row.why;
  }
}
