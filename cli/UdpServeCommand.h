// `zvnet udp-serve`: the reference datagram server, echoing each request until interrupted.
#ifndef ZVNET_CLI_UDPSERVECOMMAND_H_
#define ZVNET_CLI_UDPSERVECOMMAND_H_

int RunUdpServe(const char* address, unsigned short port);

#endif  // ZVNET_CLI_UDPSERVECOMMAND_H_
