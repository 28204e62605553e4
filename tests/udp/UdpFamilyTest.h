// The fixture of the UDP family's tests: a reference server on loopback with a scripted
// behaviour, the log capture and an initialised ZvUdp. Channels and one-shot requests are made
// on the test's thread, which runs their callbacks whenever it pumps (WaitForSummary).
//
// The server answers by the payload's first word:
//   "silent"          nothing
//   "delay:<ms>:..."  an echo after <ms> milliseconds
//   "empty-reply"     a 12-byte reply with an empty payload
//   "odd-magic"       an echo whose first two bytes are not 0x01 0x01
//   "max-size"        a reply of exactly 1024 bytes (1012 payload bytes of 'm')
//   "over-max"        a well-formed reply of 1025 bytes
//   "over-then-echo"  a 1100-byte datagram, then the echo
//   "trailing-zero"   an echo with a zero byte after its payload
//   "bad-checksum"    an echo with a wrong checksum
//   "wrong-length"    an echo whose msgLen is one too many
//   "foreign-port"    an echo sent from another port of the server's address
//   "foreign-then-echo" the same, then the echo from the right port
//   "other-cookie"    an echo carrying another cookie
//   "cookie:<n>"      an echo carrying cookie <n>
//   anything else     an echo
#ifndef ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
#define ZVNET_TESTS_UDP_UDPFAMILYTEST_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/support/Pump.h"
#include "tests/udp/UdpCallbackLog.h"
#include "tools/UdpReferenceServer.h"
#include "zvnet/zvudp.h"

class UdpFamilyTest : public ::testing::Test {
 protected:
  // Every request of these tests times out after this; a time-out pass runs every 2 s.
  static constexpr unsigned kTimeoutMs = 1000;
  static constexpr auto kDeadline = std::chrono::seconds(20);

  static std::vector<UdpReplyPlan> ScriptedReplies(const UdpServedRequest& request);

  void SetUp() override;
  void TearDown() override;

  // Port 0 stands for the reference server's.
  int CreateChannel(UDP_CHANNEL_TYPE type, unsigned short port = 0,
                    const std::string& host = "127.0.0.1");
  // With both recording callbacks and userParam 77.
  int Send(int channelId, const std::string& payload, unsigned timeoutMs = kTimeoutMs,
           bool resetDomain = false);
  int SendOneShot(const std::string& payload, unsigned timeoutMs = kTimeoutMs,
                  unsigned short port = 0, const std::string& host = "127.0.0.1");

  std::string Summary(int cookie) { return CUdpCallbackLog::Get().Summary(cookie); }
  // Pumps until the cookie's callbacks read `expected`.
  bool WaitForSummary(int cookie, const std::string& expected);
  void ExpectAllCallbacksOnThisThread();

  CLogCapture log;
  CUdpReferenceServer server;
  bool initialised = false;
};

#endif  // ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
