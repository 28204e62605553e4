// Reproducible pseudo-random bytes for bodies and files of tests: the same size and seed
// give the same bytes, and no two neighbouring blocks repeat.
#ifndef ZVNET_TESTS_SUPPORT_TESTBYTES_H_
#define ZVNET_TESTS_SUPPORT_TESTBYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string TestBytes(size_t size, uint32_t seed = 7) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1664525 + 1013904223) >> 24);
  return bytes;
}

#endif  // ZVNET_TESTS_SUPPORT_TESTBYTES_H_
