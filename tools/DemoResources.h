// What `zvnet demo` downloads and expects: its resources' bodies and dates (header-only), and
// ServeDemoResources, which serves them from a CHttpTestServer (the demo's own server).
#ifndef ZVNET_TOOLS_DEMORESOURCES_H_
#define ZVNET_TOOLS_DEMORESOURCES_H_

#include <cstdint>
#include <random>
#include <string>

class CHttpTestServer;

inline constexpr const char* kDemoLastModified = "Tue, 01 Dec 2026 08:00:00 GMT";
inline constexpr const char* kDemoSmallBody = "zvnet demo: hello from the loopback server\n";

// `size` bytes from a Mersenne Twister seeded with `seed` (the same on every platform).
inline std::string DemoRandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// The body of /file.bin and /paced.bin.
inline std::string DemoFileBody() {
  return DemoRandomBytes(8 << 20, 1);
}

// /file.bin (with its Last-Modified), /paced.bin, /small.txt, / and /upload under `prefix`.
void ServeDemoResources(CHttpTestServer& server, const std::string& prefix);

#endif  // ZVNET_TOOLS_DEMORESOURCES_H_
