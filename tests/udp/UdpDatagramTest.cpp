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
