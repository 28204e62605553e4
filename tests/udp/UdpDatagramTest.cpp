#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "udp/UdpDatagram.h"

using Bytes = std::vector<unsigned char>;

TEST(UdpDatagramTest, EmptyPayloadGivesThirteenBytes) {
  EXPECT_EQ(BuildDatagram("", 0x01020304u),
            (Bytes{0x01, 0x01, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(UdpDatagramTest, PayloadIsScrambledChecksummedAndTerminated) {
  // 'a' 'b' 'c' XOR 0x5B are 0x3A 0x39 0x38; the checksum covers the scrambled bytes.
  EXPECT_EQ(BuildDatagram("abc", 0x80000007u),
            (Bytes{0x01, 0x01, 0x80, 0x00, 0x00, 0x07, 0x3A, 0x39, 0x38, 0x00, 0x00, 0x03, 0x3A,
                   0x39, 0x38, 0x00}));
  // Only the text before the first zero byte is sent.
  const char withZero[] = {'a', 'b', 'c', 0, 'd', 0};
  EXPECT_EQ(BuildDatagram(withZero, 0x80000007u), BuildDatagram("abc", 0x80000007u));
}

TEST(UdpDatagramTest, PayloadByteEqualToTheMaskIsSentAsZeroWithTheRestAfterIt) {
  // '[' is 0x5B, the mask.
  EXPECT_EQ(BuildDatagram("a[b", 1), (Bytes{0x01, 0x01, 0, 0, 0, 1, 0x3A, 0x00, 0x39, 0x00, 0x00,
                                            0x03, 0x3A, 0x00, 0x39, 0x00}));
}

TEST(UdpDatagramTest, LengthFieldKeepsTheLow16BitsOfLongPayloads) {
  const std::string text(70000, 'x');
  const Bytes datagram = BuildDatagram(text.c_str(), 5);
  ASSERT_EQ(datagram.size(), 70013u);
  EXPECT_EQ(ReadBigEndian16(&datagram[10]), 70000 & 0xFFFF);
  EXPECT_EQ(datagram[12 + 69999], 'x' ^ 0x5B);
  EXPECT_EQ(datagram.back(), 0);
}

TEST(UdpDatagramTest, CheckSumIsTheXorOfBigEndianWords) {
  const unsigned char abc[] = {0x61, 0x62, 0x63};
  EXPECT_EQ(CalcCheckSum(abc, 3), 0x61626300u);
  const unsigned char five[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(CalcCheckSum(five, 5), 0x04020304u);
  const unsigned char word[] = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(CalcCheckSum(word, 4), 0xDEADBEEFu);
  EXPECT_EQ(CalcCheckSum(nullptr, 4), 0u);
  EXPECT_EQ(CalcCheckSum(word, 0), 0u);
  EXPECT_EQ(CalcCheckSum(word, -1), 0u);
}

TEST(UdpDatagramTest, ScrambleIsItsOwnInverseAndAppendsAZero) {
  const unsigned char text[] = {'h', 'i', 0x5B, 0xFF};
  const Bytes once = ScrambleBytes(text, 4);
  EXPECT_EQ(once, (Bytes{'h' ^ 0x5B, 'i' ^ 0x5B, 0x00, 0xA4, 0x00}));
  const Bytes twice = ScrambleBytes(once.data(), 4);
  EXPECT_EQ(twice, (Bytes{'h', 'i', 0x5B, 0xFF, 0x00}));
  EXPECT_EQ(ScrambleBytes(text, 0), Bytes{0});
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
