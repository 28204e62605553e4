// `zvnet udp`: one request/response exchange with a datagram server.
#ifndef ZVNET_CLI_UDPCOMMAND_H_
#define ZVNET_CLI_UDPCOMMAND_H_

#include <string>

struct UdpOptions {
  std::string server;  // HOST:PORT
  std::string payload;
  std::string channel = "duplex";  // send, recv, sendrecv, duplex
  bool oneShot = false;
  unsigned int timeoutMs = 3000;
};

int RunUdp(const UdpOptions& options);

#endif  // ZVNET_CLI_UDPCOMMAND_H_
