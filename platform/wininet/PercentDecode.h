// "%XX" escapes undone, for the parts of URLs; anything else, "+" included, stays as it is.
// Header-only: the Windows URL reading and the tools' report receiver share it.
#ifndef ZVNET_PLATFORM_WININET_PERCENTDECODE_H_
#define ZVNET_PLATFORM_WININET_PERCENTDECODE_H_

#include <string>
#include <string_view>

// The value of a hexadecimal digit, or -1.
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

#endif  // ZVNET_PLATFORM_WININET_PERCENTDECODE_H_
