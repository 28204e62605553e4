// Ports of 127.0.0.1 for tests that start servers or need a port where nothing listens.
#ifndef ZVNET_TESTS_SUPPORT_LOOPBACKPORT_H_
#define ZVNET_TESTS_SUPPORT_LOOPBACKPORT_H_

#include <cstdint>
#include <string>

// A port of 127.0.0.1 that was free a moment ago: nothing listens there, so connections are
// refused until someone binds it. 0 when no socket could be bound.
uint16_t FreeLoopbackPort();
// Whether a TCP connection to 127.0.0.1:`port` is accepted now.
bool LoopbackAccepts(uint16_t port);
// "http://127.0.0.1:<port>/", widened: a URL whose connections are refused.
std::wstring RefusedUrl();

#endif  // ZVNET_TESTS_SUPPORT_LOOPBACKPORT_H_
