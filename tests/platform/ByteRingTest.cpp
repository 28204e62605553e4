#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

#include "platform/wininet/ByteRing.h"

// Random writes and reads against a plain queue: the ring must hand back every byte in order
// through its growth steps and wrap-arounds, and refuse exactly the writes that exceed its bound.
TEST(ByteRingTest, KeepsOrderThroughGrowthAndWrapAround) {
  constexpr size_t kBound = 1 << 20;
  CByteRing ring(kBound);
  std::deque<unsigned char> model;
  std::mt19937 random(7);
  unsigned char next = 0;
  for (int step = 0; step < 4000; ++step) {
    if (random() % 2 == 0) {
      std::vector<unsigned char> piece(random() % (300 * 1024));
      for (auto& byte : piece) byte = next++;
      const bool fits = piece.size() <= kBound - model.size();
      ASSERT_EQ(ring.Write(piece.data(), piece.size()), fits);
      if (fits) model.insert(model.end(), piece.begin(), piece.end());
    } else {
      std::vector<unsigned char> out(random() % (200 * 1024));
      const size_t got = ring.Read(out.data(), out.size());
      ASSERT_EQ(got, std::min(out.size(), model.size()));
      for (size_t i = 0; i < got; ++i) {
        ASSERT_EQ(out[i], model.front()) << "step " << step << " byte " << i;
        model.pop_front();
      }
    }
    ASSERT_EQ(ring.Size(), model.size());
    ASSERT_EQ(ring.Free(), kBound - model.size());
  }
}

TEST(ByteRingTest, FillsExactlyToItsBound) {
  CByteRing ring(100 * 1024 + 3);  // not a power of two: the last growth stops at the bound
  std::vector<char> all(100 * 1024 + 3, 'x');
  EXPECT_TRUE(ring.Write(all.data(), all.size()));
  EXPECT_FALSE(ring.Write("y", 1));
  char first[2];
  EXPECT_EQ(ring.Read(first, 2), 2u);
  EXPECT_TRUE(ring.Write("yz", 2));
  EXPECT_EQ(ring.Free(), 0u);
}
