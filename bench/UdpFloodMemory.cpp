// Resident memory of a client whose host thread is busy (does not pump) while a peer floods
// it with well-formed replies: 50,000 replies of 1,000 bytes, first 45,000 naming cookies that
// were never handed out, then 5,000 repeating the cookie of the one request still open (a
// one-shot's socket closes after the first datagram it reads, so the rest never reach it). Once
// for a duplex channel, once for a one-shot request, each in a child process of its own so
// that one's freed memory does not hide the other's growth.
//
//   zvnet_udp_flood [channel|oneshot]     (default: both)
//
// Prints the resident size and the allocator's live blocks before the flood, after it (before
// the host pumps: the peak) and after one DispatchPending, and how many callbacks that ran.
// The peer waits for the client's socket to be read dry every 32 replies, so that no reply is
// lost to a full receive buffer. Loopback only; not a timed test.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/ProcessMemory.h"
#include "tools/UdpScriptedPeer.h"
#include "zvnet/zvnet.h"

namespace {

constexpr int kFlood = 50000;
constexpr int kRepeats = kFlood / 10;  // of the open cookie, after all the others

std::string callbacks;  // the codes, in order

int ZV_STDCALL OnUdp(int, unsigned long, UDP_ERRORCODE code, tagUdpOut*) {
  callbacks += " " + std::to_string(code);
  return 0;
}

void Print(const char* when) {
  std::printf("  %-28s RSS %6ld KiB, heap blocks in use %6zu KiB\n", when, CurrentRssKb(),
              HeapInUseKb());
}

int Run(bool channel) {
  CUdpScriptedPeer peer;
  if (peer.Port() == 0 || ZvUdp::Init() != S_OK) return 2;
  int id = 0;
  int cookie = 0;
  if (channel) {
    tagUdpServer server{"127.0.0.1", peer.Port()};
    if (ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &server, &id) != S_OK) return 2;
    ZvUdp::SendData(id, "asked", OnUdp, OnUdp, 60000, 0, &cookie, false);
  } else {
    tagUdpTaskParam param{"127.0.0.1", peer.Port(), "asked"};
    ZvUdp::SendData(&param, OnUdp, 60000, &cookie);
  }
  if (peer.ReadRequest() != static_cast<uint32_t>(cookie)) return 2;
  std::printf("%s, %d replies of 1,000 bytes while the host does not pump:\n",
              channel ? "duplex channel" : "one-shot request", kFlood);
  Print("before the flood");
  const std::string big(1000, 'f');
  int sent = 0;
  bool closed = false;
  while (sent < kFlood && !closed) {
    const uint32_t to = sent < kFlood - kRepeats ? cookie + 100000 + sent : cookie;
    peer.Reply(to, big);
    // A one-shot's socket closes after the first datagram it reads: the rest are lost.
    if (++sent % 32 == 0) closed = !peer.WaitUntilRead();
  }
  if (!closed) closed = !peer.WaitUntilRead();
  std::printf("  replies sent %d%s\n", sent, closed ? ", until the client's socket closed" : "");
  Print("after the flood, not pumped");
  const long dispatched = ZvMsgLoop::DispatchPending();
  Print("after pumping");
  std::printf("  messages dispatched %ld, callback codes:%s\n", dispatched, callbacks.c_str());
  if (channel) ZvUdp::CloseChannel(id);
  ZvUdp::Uninit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* only = argc > 1 ? argv[1] : "";
  int failed = 0;
  for (const bool channel : {true, false}) {
    if (*only && std::strcmp(only, channel ? "channel" : "oneshot") != 0) continue;
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
      const int result = Run(channel);
      std::fflush(stdout);
      std::_Exit(result);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::printf("  failed (status %d)\n", status);
      failed = 1;
    }
  }
  return failed;
}
