#include "cli/UdpServeCommand.h"

#include <cstdio>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "tools/UdpReferenceServer.h"

int RunUdpServe(const char* address, unsigned short port) {
  CUdpReferenceServer server;
  if (server.Start(address, port) != 0) {
    PrintError(std::string("cannot listen on ") + address + ":" + std::to_string(port));
    return kExitFailure;
  }
  std::printf("udp-serve: echoing datagram requests on %s:%u (Ctrl-C to stop)\n", address,
              server.Port());
  std::fflush(stdout);
  CHostLoop loop;
  loop.RunUntil([] { return false; });
  server.Stop();
  std::printf("udp-serve: %zu requests served\n", server.RequestCount());
  return kExitOk;
}
