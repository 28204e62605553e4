// The world of the network status tests: a private namespace with a veth pair v0-v1 (v0 has
// 10.0.0.1/24, no default route), and the test's own thread moved into it, so that the
// detector thread it starts watches that namespace and nothing else.
#ifndef ZVNET_TESTS_NETSTATUS_NETSTATUSFIXTURE_H_
#define ZVNET_TESTS_NETSTATUS_NETSTATUSFIXTURE_H_

#include <gtest/gtest.h>
#include <linux/rtnetlink.h>

#include <memory>

#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/NetNamespaceScope.h"
#include "tests/support/Pump.h"

class NetStatusFixture : public ::testing::Test {
 protected:
  // The groups of the detector's two notification sockets.
  static constexpr unsigned int kRouteGroups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  static constexpr unsigned int kAddressGroups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;

  void SetUp() override {
    ZVNET_REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddLinkPair("v0", "v1"));
    ASSERT_TRUE(ns.Ip("addr add 10.0.0.1/24 dev v0"));
    scope = std::make_unique<CNetNamespaceScope>(ns);
    ASSERT_TRUE(scope->IsEntered());
  }

  void TearDown() override { scope.reset(); }

  // The detector is in its wait, armed: any change from now on is seen.
  bool DetectorIsWatching() const {
    return ns.CountNetlinkListeners(kRouteGroups) == 1 &&
           ns.CountNetlinkListeners(kAddressGroups) == 1;
  }
  bool NothingWatches() const {
    return ns.CountNetlinkListeners(kRouteGroups) == 0 &&
           ns.CountNetlinkListeners(kAddressGroups) == 0;
  }

  CLogCapture log;
  CNetNamespace ns;
  std::unique_ptr<CNetNamespaceScope> scope;
};

#endif  // ZVNET_TESTS_NETSTATUS_NETSTATUSFIXTURE_H_
