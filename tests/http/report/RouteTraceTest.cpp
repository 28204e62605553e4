#include "http/report/RouteTrace.h"

#include <gtest/gtest.h>

#include <ostream>
#include <regex>

#include "platform/iphelper/IcmpEcho.h"
#include "tests/support/RouteTopology.h"

// Names the echo socket kind in test output.
void PrintTo(const CIcmpEcho::Kind& kind, std::ostream* out) {
  *out << (kind == CIcmpEcho::Kind::kPing ? "ping socket" : "raw socket");
}

namespace {

using Kind = CIcmpEcho::Kind;

class RouteTraceTest : public testing::TestWithParam<Kind> {};

}  // namespace

// Traces from the client namespace, with ping sockets allowed there or not: the echo socket is
// of the kind that implies, hops come in order with their times (under a second), and a silent
// router is a hop without address or answer.
TEST_P(RouteTraceTest, HopsComeInOrderWithTheirTimesAndEndAtTheServer) {
  CRouteTopology topology;
  ZVNET_REQUIRE_NAMESPACE(topology);
  ASSERT_TRUE(topology.IsReady());
  if (GetParam() == Kind::kPing) {
    ASSERT_TRUE(topology.AllowPingSockets());
  }
  auto trace = [&] {
    CRouteTrace trace(nullptr);
    EXPECT_TRUE(topology.Client().RunOnThread([&] {
      EXPECT_EQ(CIcmpEcho().GetKind(), GetParam());
      trace.Run(L"10.71.3.2");
    }));
    EXPECT_FALSE(trace.WasStopped());
    return trace.Format();
  };
  const std::wstring routed = trace();
  EXPECT_TRUE(std::regex_match(
      routed,
      std::wregex(LR"(10\.71\.1\.2\[\d{1,3}\]10\.71\.2\.2\[\d{1,3}\]10\.71\.3\.2\[\d{1,3}\])")))
      << routed;
  ASSERT_TRUE(topology.SilenceRouter2());
  const std::wstring silent = trace();
  EXPECT_TRUE(std::regex_match(
      silent, std::wregex(LR"(10\.71\.1\.2\[\d{1,3}\]\[-1\]10\.71\.3\.2\[\d{1,3}\])")))
      << silent;
}

INSTANTIATE_TEST_SUITE_P(EchoSockets, RouteTraceTest, testing::Values(Kind::kPing, Kind::kRaw),
                         [](const testing::TestParamInfo<Kind>& info) {
                           return info.param == Kind::kPing ? "PingSocket" : "RawSocket";
                         });
