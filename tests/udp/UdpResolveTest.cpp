// Name resolution, in a network namespace of the test's own, so that a look-up the hosts file
// cannot answer fails at once and never reaches a DNS server.
#include <optional>

#include "tests/support/NetNamespace.h"
#include "tests/support/NetNamespaceScope.h"
#include "tests/udp/UdpFamilyTest.h"

namespace {

class UdpResolveTest : public UdpFamilyTest {
 protected:
  // Before the fixture starts any thread: threads inherit the namespace of their creator.
  void SetUp() override {
    ZVNET_REQUIRE_NAMESPACE(ns);
    scope.emplace(ns);
    ASSERT_TRUE(scope->IsEntered());
    UdpFamilyTest::SetUp();
  }
  void TearDown() override {
    UdpFamilyTest::TearDown();
    scope.reset();
  }

  CNetNamespace ns;
  std::optional<CNetNamespaceScope> scope;
};

}  // namespace

TEST_F(UdpResolveTest, UnresolvableHostGivesSendErrorThenTimeOutWhileTheChannelStaysUsable) {
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, 9, "nonexistent.invalid");
  const int noHost = CreateChannel(UDP_CHANNEL_SEND_RECV, 9, "");
  const int first = Send(channel, "first");
  const int empty = Send(noHost, "no host");
  const int oneShot = SendOneShot("one-shot", kTimeoutMs, 9, "nonexistent.invalid");
  const int second = Send(channel, "second");

  EXPECT_TRUE(WaitForSummary(second, "S7 R12")) << Summary(second);
  EXPECT_EQ(Summary(first), "S7 R12");
  EXPECT_EQ(Summary(empty), "S7 R12");
  EXPECT_TRUE(WaitForSummary(oneShot, "C7 C12")) << Summary(oneShot);
  // Each datagram tries again.
  EXPECT_EQ(log.Count("CUdpTask::DomainNameToAddr Error4"), 3);
  EXPECT_TRUE(log.Contains("CUdpTask::DomainNameToAddr Error2"));
  ExpectAllCallbacksOnThisThread();
}

TEST_F(UdpResolveTest, ResetDomainResolvesTheHostAgainBeforeTheNextDatagram) {
  const int channel = CreateChannel(UDP_CHANNEL_SEND_RECV, 0, "localhost");
  const int first = Send(channel, "first");
  ASSERT_TRUE(WaitForSummary(first, "S1 R0:first")) << Summary(first);
  EXPECT_EQ(log.Count("CUdpTask DomainNameToAddr Success"), 1);

  const int cached = Send(channel, "cached");
  ASSERT_TRUE(WaitForSummary(cached, "S1 R0:cached")) << Summary(cached);
  EXPECT_EQ(log.Count("CUdpTask DomainNameToAddr Success"), 1);
  EXPECT_EQ(log.Count("CUdpTask::DomainNameToAddr No Need"), 1);

  const int reset = Send(channel, "reset", kTimeoutMs, true);
  ASSERT_TRUE(WaitForSummary(reset, "S1 R0:reset")) << Summary(reset);
  EXPECT_EQ(log.Count("CUdpTask::ResetDomainStatus"), 1);
  EXPECT_EQ(log.Count("CUdpTask DomainNameToAddr Success"), 2);
}
