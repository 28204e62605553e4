// Name resolution, in a network namespace of the test's own, so that a look-up the hosts file
// cannot answer fails at once and never reaches a DNS server.
#include "tests/support/NetNamespace.h"
#include "tests/support/NetNamespaceScope.h"
#include "tests/udp/UdpFamilyTest.h"

namespace {

// Entered before the fixture starts any thread: threads inherit the namespace of their creator.
struct CEnteredNamespace {
  CNetNamespace ns;
  CNetNamespaceScope scope{ns};
};

class UdpResolveTest : private CEnteredNamespace, public UdpFamilyTest {
 protected:
  void SetUp() override {
    ZVNET_REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(scope.IsEntered());
    UdpFamilyTest::SetUp();
  }
};

}  // namespace

// A look-up failure is a send error, then the request times out; the channel stays usable and
// each datagram tries again. A resolved host is looked up again only when the caller asks.
TEST_F(UdpResolveTest, HostsAreResolvedBeforeTheFirstDatagramAndWhenAskedAgain) {
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, 9, "nonexistent.invalid");
  const int first = Send(channel, "first");
  const int empty = Send(CreateChannel(UDP_CHANNEL_SEND_RECV, 9, ""), "no host");
  const int oneShot = SendOneShot("one-shot", kTimeoutMs, 9, "nonexistent.invalid");
  const int second = Send(channel, "second");
  EXPECT_TRUE(WaitForSummary(second, "S7 R12")) << Summary(second);
  EXPECT_EQ(Summary(first), "S7 R12");
  EXPECT_EQ(Summary(empty), "S7 R12");
  EXPECT_TRUE(WaitForSummary(oneShot, "C7 C12")) << Summary(oneShot);
  EXPECT_EQ(log.Count("CUdpTask::DomainNameToAddr Error4"), 3);

  const int local = CreateChannel(UDP_CHANNEL_SEND_RECV, 0, "localhost");
  const std::pair<const char*, bool> rows[] = {
      {"first", false}, {"cached", false}, {"reset", true}};
  for (const auto& [payload, reset] : rows) {
    const int cookie = Send(local, payload, kTimeoutMs, reset);
    EXPECT_TRUE(WaitForSummary(cookie, std::string("S1 R0:") + payload)) << Summary(cookie);
  }
  EXPECT_EQ(log.Count("CUdpTask DomainNameToAddr Success"), 2) << "at the first and after reset";
  ExpectAllCallbacksOnThisThread();
}
