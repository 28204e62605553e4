#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "udp/UdpDatagram.h"

using Bytes = std::vector<unsigned char>;

// The exact bytes of an empty payload and of one holding the mask byte are checked on the wire
// (RequestsReachTheServerByteForByte); here the rest of the framing.
TEST(UdpDatagramTest, PayloadIsScrambledChecksummedAndTerminated) {
  // 'a' 'b' 'c' XOR 0x5B are 0x3A 0x39 0x38; the checksum covers the scrambled bytes.
  EXPECT_EQ(BuildDatagram("abc", 0x80000007u),
            (Bytes{0x01, 0x01, 0x80, 0x00, 0x00, 0x07, 0x3A, 0x39, 0x38, 0x00, 0x00, 0x03, 0x3A,
                   0x39, 0x38, 0x00}));
  // Only the text before the first zero byte is sent.
  const char withZero[] = {'a', 'b', 'c', 0, 'd', 0};
  EXPECT_EQ(BuildDatagram(withZero, 0x80000007u), BuildDatagram("abc", 0x80000007u));

  // The length field keeps the low 16 bits of a long payload.
  const std::string text(70000, 'x');
  const Bytes datagram = BuildDatagram(text.c_str(), 5);
  ASSERT_EQ(datagram.size(), 70013u);
  EXPECT_EQ(ReadBigEndian16(&datagram[10]), 70000 & 0xFFFF);
  EXPECT_EQ(datagram[12 + 69999], 'x' ^ 0x5B);
  EXPECT_EQ(datagram.back(), 0);
}

TEST(UdpDatagramTest, CheckSumIsTheXorOfBigEndianWordsPaddedWithZeros) {
  const unsigned char five[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(CalcCheckSum(five, 5), 0x04020304u);
  EXPECT_EQ(CalcCheckSum(nullptr, 4), 0u);
  EXPECT_EQ(CalcCheckSum(five, 0), 0u);
  EXPECT_EQ(CalcCheckSum(five, -1), 0u);
}

TEST(UdpDatagramTest, ReplyCheckRefusesMalformedDatagramsReadingOnlyTheirBytes) {
  // A request's framing is a reply's minus the terminating zero.
  std::vector<unsigned char> good = BuildDatagram("reply", 9);
  good.pop_back();
  UdpReplyHeader header;
  ASSERT_EQ(CheckUdpReply(good.data(), good.size(), &header), UdpReplyCheck::kOk);
  EXPECT_EQ(header.cookie, 9u);
  EXPECT_EQ(header.length, 5);

  EXPECT_EQ(CheckUdpReply(nullptr, 0, &header), UdpReplyCheck::kLengthMismatch) << "empty";
  for (size_t cut = 1; cut < good.size(); ++cut) {
    // Exactly sized copies, so AddressSanitizer sees any read past the datagram.
    std::vector<unsigned char> shorter(good.begin(), good.begin() + cut);
    EXPECT_EQ(CheckUdpReply(shorter.data(), shorter.size(), &header),
              UdpReplyCheck::kLengthMismatch)
        << cut;
  }
  std::vector<unsigned char> longer = good;
  longer.push_back(0);
  EXPECT_EQ(CheckUdpReply(longer.data(), longer.size(), &header), UdpReplyCheck::kLengthMismatch);

  std::vector<unsigned char> corrupt = good;
  corrupt.back() ^= 1;
  EXPECT_EQ(CheckUdpReply(corrupt.data(), corrupt.size(), &header), UdpReplyCheck::kBadCheckSum);

  std::vector<unsigned char> oversized =
      BuildDatagram(std::string(kUdpMaxReplySize, 'x').c_str(), 1);
  oversized.pop_back();
  EXPECT_EQ(CheckUdpReply(oversized.data(), oversized.size(), &header), UdpReplyCheck::kTooLong);
}
