// Request/reply round trips per second on a UDP_CHANNEL_DUPLEX channel against the reference
// server, beside a plain blocking sendto/recvfrom loop to the same server on loopback: the
// difference is what the channel's threads, queue and message delivery cost. The host has the
// logging library loaded, as the application does, with its default level (no trace lines).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <vector>

#include "platform/win32/UniqueFd.h"
#include "tools/UdpReferenceServer.h"
#include "udp/UdpDatagram.h"
#include "zvnet/zvmsgloop.h"
#include "zvnet/zvudp.h"
#include "zvxlog.h"

namespace {

struct Outcome {
  bool done = false;
  bool replied = false;
};

int ZV_STDCALL OnReceive(int, unsigned long userParam, UDP_ERRORCODE code, tagUdpOut*) {
  auto* outcome = reinterpret_cast<Outcome*>(userParam);
  outcome->done = true;
  outcome->replied = code == UDP_RECV_SUCCESS;
  return 0;
}

void BM_DuplexChannelRoundTrip(benchmark::State& state) {
  XLogSetLevel(32);
  CUdpReferenceServer server;
  if (server.Start() != S_OK) return state.SkipWithError("no reference server");
  ZvUdp::Init();
  tagUdpServer target{"127.0.0.1", server.Port()};
  int channel = 0;
  if (ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &channel) != S_OK) {
    ZvUdp::Uninit();
    return state.SkipWithError("no channel");
  }
  int lost = 0;
  for (auto _ : state) {
    Outcome outcome;
    ZvUdp::SendData(channel, "ping", nullptr, &OnReceive, 5000,
                    reinterpret_cast<unsigned long>(&outcome), nullptr, false);
    while (!outcome.done) ZvMsgLoop::Pump(100);
    lost += !outcome.replied;
  }
  ZvUdp::Uninit();
  state.SetItemsProcessed(state.iterations());
  state.counters["lost"] = lost;
}
BENCHMARK(BM_DuplexChannelRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_PlainSendRecvRoundTrip(benchmark::State& state) {
  CUdpReferenceServer server;
  if (server.Start() != S_OK) return state.SkipWithError("no reference server");
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  timeval timeout{0, 200000};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.Port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  unsigned char reply[kUdpMaxReplySize];
  uint32_t cookie = 0;
  int lost = 0;
  for (auto _ : state) {
    const std::vector<unsigned char> request = BuildDatagram("ping", ++cookie);
    ::sendto(fd.Get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
    lost += ::recvfrom(fd.Get(), reply, sizeof reply, 0, nullptr, nullptr) != 16;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lost"] = lost;
}
BENCHMARK(BM_PlainSendRecvRoundTrip)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
