// The framing checks the wire cannot reach: a payload too long for the length field and a
// reply longer than any that recvfrom hands over. The bytes of requests are checked on the wire
// (RequestsReachTheServerByteForByte), the other reply checks through the exports, reads past
// a datagram by fuzz/UdpReplyFuzzer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "udp/UdpDatagram.h"

TEST(UdpDatagramTest, FramingBeyondWhatTheWireCarries) {
  // The length field keeps the low 16 bits; the whole text is framed.
  const std::vector<unsigned char> datagram = BuildDatagram(std::string(70000, 'x').c_str(), 5);
  ASSERT_EQ(datagram.size(), 70013u);
  EXPECT_EQ(ReadBigEndian16(&datagram[10]), 70000 & 0xFFFF);
  EXPECT_EQ(datagram[12 + 69999], 'x' ^ kUdpScrambleMask);

  struct Row {
    const char* name;
    std::vector<unsigned char> bytes;
    UdpReplyCheck expected;
  };
  std::vector<unsigned char> good = BuildDatagram("reply", 9);
  good.pop_back();  // a reply's framing is a request's without the terminating zero
  std::vector<unsigned char> tooLong = BuildDatagram(std::string(kUdpMaxReplySize, 'x').c_str(), 1);
  tooLong.pop_back();
  const Row rows[] = {
      {"good", good, UdpReplyCheck::kOk},
      {"empty", {}, UdpReplyCheck::kLengthMismatch},
      {"short header", {good.begin(), good.begin() + 5}, UdpReplyCheck::kLengthMismatch},
      {"too long", tooLong, UdpReplyCheck::kTooLong},
  };
  for (const Row& row : rows) {
    UdpReplyHeader header;
    EXPECT_EQ(CheckUdpReply(row.bytes.data(), row.bytes.size(), &header), row.expected) << row.name;
    if (row.expected == UdpReplyCheck::kOk) {
      EXPECT_EQ(header.cookie, 9u);
      EXPECT_EQ(header.length, 5);
    }
  }
}
