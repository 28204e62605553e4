#include "tests/support/TestBytes.h"

std::string TestBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed;
  for (char& c : bytes) {
    x = x * 1664525 + 1013904223;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}
