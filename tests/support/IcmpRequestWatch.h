// Counts the ICMP echo requests that reach the namespace it was made in (a raw socket), so a
// test can tell that a route trace is under way.
#ifndef ZVNET_TESTS_SUPPORT_ICMPREQUESTWATCH_H_
#define ZVNET_TESTS_SUPPORT_ICMPREQUESTWATCH_H_

#include "platform/win32/UniqueFd.h"

class CIcmpRequestWatch {
 public:
  CIcmpRequestWatch();
  bool Ok() const { return socket.IsValid(); }
  // Echo requests seen so far; reads what is waiting without blocking.
  int Count();

 private:
  UniqueFd socket;
  int seen = 0;
};

#endif  // ZVNET_TESTS_SUPPORT_ICMPREQUESTWATCH_H_
