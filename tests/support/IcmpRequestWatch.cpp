#include "tests/support/IcmpRequestWatch.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

CIcmpRequestWatch::CIcmpRequestWatch()
    : socket(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP)) {}

int CIcmpRequestWatch::Count() {
  uint8_t packet[1500];
  ssize_t n;
  while ((n = ::recv(socket.Get(), packet, sizeof packet, 0)) > 0) {
    const size_t header = (packet[0] & 0x0F) * 4u;
    if (static_cast<size_t>(n) > header && packet[header] == 8) ++seen;
  }
  return seen;
}
