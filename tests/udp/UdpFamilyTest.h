// The fixture of the UDP family's tests: a reference server on loopback with a scripted
// behaviour, a pumping host thread, the log capture and an initialised ZvUdp. Helpers make
// channels and one-shot requests on the host thread, so their callbacks run there.
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

#include <memory>
#include <string>
#include <vector>

#include "tests/support/LogCapture.h"
#include "tests/support/Pump.h"
#include "tests/udp/PumpingHost.h"
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

  // A channel to the reference server (or another server) made on the host thread.
  int CreateChannel(UDP_CHANNEL_TYPE type);
  int CreateChannelTo(UDP_CHANNEL_TYPE type, const std::string& host, unsigned short port);
  // A channel request from the calling thread, with both recording callbacks.
  int Send(int channelId, const std::string& payload, unsigned timeoutMs = kTimeoutMs,
           bool resetDomain = false);
  // A one-shot request made on the host thread.
  int SendOneShot(const std::string& payload, unsigned timeoutMs = kTimeoutMs);
  int SendOneShotTo(const std::string& host, unsigned short port, const std::string& payload,
                    unsigned timeoutMs = kTimeoutMs);

  std::string Summary(int cookie) { return CUdpCallbackLog::Get().Summary(cookie); }
  // Waits until the cookie's callbacks read `expected`; false (with the last summary in the
  // failure message of the caller's EXPECT) otherwise.
  bool WaitForSummary(int cookie, const std::string& expected);
  // Every callback so far ran on the host thread.
  void ExpectAllCallbacksOnHost();

  CLogCapture log;
  CUdpReferenceServer server;
  std::unique_ptr<CPumpingHost> host;
  bool initialised = false;
};

#endif  // ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
