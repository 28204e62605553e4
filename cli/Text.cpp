#include "cli/Text.h"

#include <cstdio>

#include "platform/StringConv.h"

std::wstring Widen(std::string_view utf8) {
  return Utf8ToWide(utf8);
}

std::string Narrow(std::wstring_view wide) {
  return WideToUtf8(wide);
}

std::string FormatBytes(uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

namespace {

// The length of the UTF-8 sequence at `at`; 0 when the bytes there are not one.
size_t SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void AppendEscaped(std::string& out, unsigned char byte) {
  char code[5];
  std::snprintf(code, sizeof code, "\\x%02x", byte);
  out += code;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      out += static_cast<char>(byte);
      ++at;
      continue;
    }
    const size_t length = byte < 0x80 ? 0 : SequenceLength(text, at);
    // U+0080..U+009F are the C1 controls, which terminals obey as well (CSI is U+009B).
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
    if (length == 0 || c1) {
      const size_t count = c1 ? 2 : 1;
      for (size_t i = 0; i < count; ++i)
        AppendEscaped(out, static_cast<unsigned char>(text[at + i]));
      at += count;
      continue;
    }
    out.append(text.substr(at, length));
    at += length;
  }
  return out;
}

std::string EscapeForTerminal(std::wstring_view text) {
  return EscapeForTerminal(Narrow(text));
}

void PrintError(const std::string& message) {
  std::fprintf(stderr, "zvnet: %s\n", EscapeForTerminal(message).c_str());
}
