// Moves the calling thread, and every thread it starts afterwards, into a network namespace of
// its own with only loopback up. Name look-ups that would ask a DNS server then fail at once,
// without a packet leaving the machine. Needs root (CAP_SYS_ADMIN).
#ifndef ZVNET_TESTS_UDP_PRIVATENETWORK_H_
#define ZVNET_TESTS_UDP_PRIVATENETWORK_H_

#include <string>

class CPrivateNetwork {
 public:
  // False, with the reason in *why, when the namespace could not be made.
  static bool Enter(std::string* why);
};

#endif  // ZVNET_TESTS_UDP_PRIVATENETWORK_H_
