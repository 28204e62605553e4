#include "cli/UdpServeCommand.h"

#include <cstdio>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "tools/CloudCandidates.h"
#include "tools/UdpReferenceServer.h"

int RunUdpServe(const char* address, unsigned short port, bool cloud, unsigned int delayMs) {
  CUdpReferenceServer server;
  const std::chrono::milliseconds delay(delayMs);
  if (cloud) {
    server.SetBehaviour(CloudCandidates(delay));
  } else if (delayMs != 0) {
    server.SetBehaviour([delay](const UdpServedRequest& request) {
      std::vector<UdpReplyPlan> replies = CUdpReferenceServer::Echo(request);
      for (UdpReplyPlan& reply : replies) reply.delay = delay;
      return replies;
    });
  }
  if (server.Start(address, port) != 0) {
    PrintError(std::string("cannot listen on ") + address + ":" + std::to_string(port));
    return kExitFailure;
  }
  std::printf("udp-serve: %s datagram requests on %s:%u (Ctrl-C to stop)\n",
              cloud ? "answering cloud candidate" : "echoing", address, server.Port());
  std::fflush(stdout);
  CHostLoop loop;
  loop.RunUntil([] { return false; });
  server.Stop();
  std::printf("udp-serve: %zu requests served\n", server.RequestCount());
  return kExitOk;
}
