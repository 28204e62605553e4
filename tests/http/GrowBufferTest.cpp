// The response buffer of memory downloads: every byte kept across growths, few growths for a
// large body, and one allocation when the length is announced.
#include "http/GrowBuffer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestBytes.h"

namespace {

TEST(GrowBuffer, GrowsGeometricallyKeepsEveryByteAndHandsItOver) {
  GrowBuffer buffer;
  EXPECT_EQ(buffer.Capacity(), 2048u);
  const std::string body = TestBytes(16u * 1024 * 1024 + 5);
  size_t growths = 0;
  for (size_t offset = 0; offset < body.size(); offset += 32768) {
    const size_t capacity = buffer.Capacity();
    ASSERT_EQ(buffer.Append(body.data() + offset, std::min<size_t>(32768, body.size() - offset)),
              0);
    growths += buffer.Capacity() != capacity;
  }
  // Doubling from 2 KiB reaches 16 MiB in 13 steps; fixed steps would take thousands.
  EXPECT_LE(growths, 14u);
  ASSERT_EQ(buffer.Size(), body.size());
  std::unique_ptr<unsigned char[]> taken(buffer.Release());
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(taken.get()), body.size()) == body);
}

TEST(GrowBuffer, ReserveHoldsAnAnnouncedLengthWithoutGrowingAndKeepsWhatWasThere) {
  GrowBuffer buffer;
  ASSERT_EQ(buffer.Append("head", 4), 0);
  const size_t total = 8u * 1024 * 1024;
  ASSERT_EQ(buffer.Reserve(total), 0);
  EXPECT_EQ(buffer.Capacity(), total);
  const std::string body = TestBytes(total - 4);
  ASSERT_EQ(buffer.Append(body.data(), body.size()), 0);
  EXPECT_EQ(buffer.Capacity(), total) << "no growth while the body fits";
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(buffer.Data()), total) == "head" + body);
  // A smaller reservation changes nothing; more than was announced still grows.
  ASSERT_EQ(buffer.Reserve(16), 0);
  EXPECT_EQ(buffer.Capacity(), total);
  ASSERT_EQ(buffer.Append("x", 1), 0);
  EXPECT_GT(buffer.Capacity(), total);
  EXPECT_EQ(buffer.Size(), total + 1);
}

}  // namespace
