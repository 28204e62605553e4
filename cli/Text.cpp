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

void PrintError(const std::string& message) {
  std::fprintf(stderr, "zvnet: %s\n", message.c_str());
}
