#include <gtest/gtest.h>

#include "platform/iphelper/InternetConnectedState.h"
#include "tests/support/NetNamespace.h"

namespace {

class InternetConnectedStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZVNET_REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddLinkPair("v0", "v1"));
    ASSERT_TRUE(ns.Ip("addr add 10.0.0.1/24 dev v0"));
    ASSERT_TRUE(ns.Ip("-6 addr add fd00::1/64 dev v0 nodad"));
  }

  // The answer, and its flags, as a thread of the namespace sees them.
  bool Connected(DWORD* flags = nullptr) {
    BOOL connected = FALSE;
    DWORD seen = 0xFFFF;
    EXPECT_TRUE(ns.RunOnThread([&] { connected = InternetGetConnectedState(&seen, 0); }));
    if (flags) *flags = seen;
    return connected == TRUE;
  }

  CNetNamespace ns;
};

TEST_F(InternetConnectedStateTest, DefaultRouteThroughAnUpInterfaceConnects) {
  DWORD flags = 0;
  EXPECT_FALSE(Connected(&flags)) << "addresses alone are no way out";
  EXPECT_EQ(flags, 0u);

  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  EXPECT_TRUE(Connected(&flags));
  EXPECT_EQ(flags, INTERNET_CONNECTION_LAN);

  ASSERT_TRUE(ns.Ip("route del default"));
  ASSERT_TRUE(ns.Ip("-6 route add default via fd00::2 dev v0"));
  EXPECT_TRUE(Connected()) << "an IPv6 default route counts as well";

  ASSERT_TRUE(ns.Ip("-6 route del default"));
  ASSERT_TRUE(ns.Ip("addr add 10.0.1.1/24 dev v1"));
  ASSERT_TRUE(ns.Ip("route add default nexthop via 10.0.0.2 dev v0 nexthop via 10.0.1.2 dev v1"));
  EXPECT_TRUE(Connected()) << "a multipath default route";

  ASSERT_TRUE(ns.Ip("route del default"));
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(ns.Ip("link set v0 down"));
  EXPECT_FALSE(Connected());
}

TEST_F(InternetConnectedStateTest, DefaultRoutesThatLeadNowhereDoNotConnect) {
  ASSERT_TRUE(ns.Ip("route add default dev lo"));
  EXPECT_FALSE(Connected()) << "through loopback";
  ASSERT_TRUE(ns.Ip("route del default dev lo"));

  for (const char* type : {"unreachable", "blackhole", "prohibit"}) {
    ASSERT_TRUE(ns.Ip(std::string("route add ") + type + " default"));
    EXPECT_FALSE(Connected()) << type;
    ASSERT_TRUE(ns.Ip(std::string("route del ") + type + " default"));
  }
  ASSERT_TRUE(ns.Ip("route add 192.0.2.0/24 via 10.0.0.2 dev v0"));
  EXPECT_FALSE(Connected()) << "a route that is not the default one";
}

}  // namespace
