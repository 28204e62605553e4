// `zvnet udp-serve`: the reference datagram server, echoing each request (or, with `cloud`,
// answering it with a candidate) until interrupted; every answer held back `delayMs`.
#ifndef ZVNET_CLI_UDPSERVECOMMAND_H_
#define ZVNET_CLI_UDPSERVECOMMAND_H_

int RunUdpServe(const char* address, unsigned short port, bool cloud, unsigned int delayMs);

#endif  // ZVNET_CLI_UDPSERVECOMMAND_H_
