#include "tests/faults/FaultSeed.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

uint64_t FaultSeed() {
  const char* given = std::getenv("ZVNET_TEST_SEED");
  std::random_device device;
  const uint64_t seed = given && *given ? std::strtoull(given, nullptr, 0)
                                        : (static_cast<uint64_t>(device()) << 32) | device();
  std::cout << "[ seed     ] ZVNET_TEST_SEED=" << seed << std::endl;
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  return seed;
}

uint64_t FaultMix(uint64_t seed, uint64_t a, uint64_t b) {
  // splitmix64 over the three values.
  uint64_t x = seed ^ (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
