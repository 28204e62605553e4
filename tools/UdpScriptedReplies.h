// The scripted behaviour of the UDP reference server that the UDP tests (on Linux in the test
// process, on Windows in zvnet_windows_test_server) ask by the payload's first word:
// "silent" gets nothing, "delay:<ms>:..." an echo after <ms> ms, "cookie:<n>" an echo with
// cookie <n>; "empty-reply", "odd-magic", "max-size" (a 1024-byte reply), "over-max",
// "trailing-zero", "bad-checksum", "wrong-length", "foreign-port" (from the other port) and
// "other-cookie" spoil the echo so; "over-then-echo" and "foreign-then-echo" send such a
// spoilt datagram before the echo. Anything unlisted is echoed.
#ifndef ZVNET_TOOLS_UDPSCRIPTEDREPLIES_H_
#define ZVNET_TOOLS_UDPSCRIPTEDREPLIES_H_

#include <vector>

#include "tools/UdpReferenceServer.h"

std::vector<UdpReplyPlan> ScriptedUdpReplies(const UdpServedRequest& request);

#endif  // ZVNET_TOOLS_UDPSCRIPTEDREPLIES_H_
