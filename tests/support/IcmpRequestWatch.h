// Counts the ICMP echo requests that reach the namespace it was made in (a raw socket), so a
// test can tell that a route trace is under way.
#ifndef ZVNET_TESTS_SUPPORT_ICMPREQUESTWATCH_H_
#define ZVNET_TESTS_SUPPORT_ICMPREQUESTWATCH_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/win32/UniqueFd.h"

class CIcmpRequestWatch {
 public:
  // Echo requests seen so far; reads what is waiting without blocking.
  int Count() {
    unsigned char packet[1500];
    for (ssize_t n; (n = ::recv(socket.Get(), packet, sizeof packet, 0)) > 0;) {
      const ssize_t header = (packet[0] & 0x0F) * 4;
      seen += n > header && packet[header] == 8;
    }
    return seen;
  }

 private:
  UniqueFd socket{::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP)};
  int seen = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_ICMPREQUESTWATCH_H_
