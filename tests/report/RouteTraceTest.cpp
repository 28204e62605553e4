#include "http/RouteTrace.h"

#include <gtest/gtest.h>

#include <ostream>

#include "platform/iphelper/IcmpEcho.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/RouteTopology.h"

// Names the echo socket kind in test output.
void PrintTo(const CIcmpEcho::Kind& kind, std::ostream* out) {
  *out << (kind == CIcmpEcho::Kind::kPing ? "ping socket" : "raw socket");
}

namespace {

using Kind = CIcmpEcho::Kind;

std::vector<std::string> Addresses(const CRouteTrace& trace) {
  std::vector<std::string> addresses;
  for (const CRouteTrace::Hop& hop : trace.Hops()) addresses.push_back(hop.address);
  return addresses;
}

// Runs a trace from the client namespace with ping sockets allowed there or not, and checks
// that the echo socket the trace gets is of the kind that setting implies.
class RouteTraceTest : public testing::TestWithParam<Kind> {
 protected:
  void TraceFromClient(CRouteTopology& topology, const wchar_t* host, CRouteTrace* trace) {
    if (GetParam() == Kind::kPing) {
      ASSERT_TRUE(topology.AllowPingSockets());
    }
    ASSERT_TRUE(topology.Client().RunOnThread([&] {
      EXPECT_EQ(CIcmpEcho().GetKind(), GetParam());
      trace->Run(host);
    }));
  }
};

}  // namespace

// Hops come in order with their times and end at the server; a silent router is a hop
// without an answer.
TEST_P(RouteTraceTest, HopsComeInOrderWithTheirTimesAndEndAtTheServer) {
  CRouteTopology topology;
  ZVNET_REQUIRE_NAMESPACE(topology);
  ASSERT_TRUE(topology.IsReady());
  CRouteTrace trace(nullptr);
  TraceFromClient(topology, L"10.71.3.2", &trace);
  EXPECT_EQ(Addresses(trace),
            (std::vector<std::string>{CRouteTopology::kRouter1, CRouteTopology::kRouter2,
                                      CRouteTopology::kServer}));
  std::wstring expected;
  for (const CRouteTrace::Hop& hop : trace.Hops()) {
    EXPECT_GE(hop.roundTripMs, 0);
    EXPECT_LT(hop.roundTripMs, 1000);
    expected += std::wstring(hop.address.begin(), hop.address.end()) + L"[" +
                std::to_wstring(hop.roundTripMs) + L"]";
  }
  EXPECT_EQ(trace.Format(), expected);
  EXPECT_FALSE(trace.WasStopped());

  ASSERT_TRUE(topology.SilenceRouter2());
  CRouteTrace silent(nullptr);
  TraceFromClient(topology, L"10.71.3.2", &silent);
  ASSERT_EQ(Addresses(silent),
            (std::vector<std::string>{CRouteTopology::kRouter1, "", CRouteTopology::kServer}));
  EXPECT_EQ(silent.Hops()[1].roundTripMs, -1);
  EXPECT_NE(silent.Format().find(L"][-1]10.71.3.2["), std::wstring::npos) << silent.Format();
}

INSTANTIATE_TEST_SUITE_P(EchoSockets, RouteTraceTest, testing::Values(Kind::kPing, Kind::kRaw),
                         [](const testing::TestParamInfo<Kind>& info) {
                           return info.param == Kind::kPing ? "PingSocket" : "RawSocket";
                         });
