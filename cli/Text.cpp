#include "cli/Text.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// Decodes the sequence at text[i] and moves i past it; a broken one gives U+FFFD.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  const int extra = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || lead >= 0xF8) return kReplacement;
  char32_t c = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      return kReplacement;
    }
    c = (c << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
  }
  constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};  // shorter forms are overlong
  return c >= kSmallest[extra] && IsScalar(c) ? c : kReplacement;
}

}  // namespace

std::wstring Widen(std::string_view utf8) {
  // A byte never makes more than one wide character (four make a surrogate pair at most), so
  // the characters are written in place and the text cut to length once.
  std::wstring wide(utf8.size(), L'\0');
  size_t used = 0;
  for (size_t i = 0; i < utf8.size();) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      wide[used++] = static_cast<wchar_t>(utf8[i++]);
      continue;
    }
    const char32_t c = DecodeUtf8(utf8, i);
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      wide[used++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      wide[used++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      wide[used++] = static_cast<wchar_t>(c);
    }
  }
  wide.resize(used);
  return wide;
}

std::string Narrow(std::wstring_view wide) {
  std::string utf8;
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char32_t>(wide[i]);
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() &&
        static_cast<char32_t>(wide[i + 1]) >= 0xDC00 &&
        static_cast<char32_t>(wide[i + 1]) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(wide[++i]) - 0xDC00);
    }
    if (!IsScalar(c)) c = kReplacement;
    const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    constexpr unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    utf8 += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
    for (int k = extra - 1; k >= 0; --k) utf8 += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return utf8;
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
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

// The length of the well-formed UTF-8 sequence at `at` (no overlong form, no surrogate,
// nothing past U+10FFFF) and its character; 0 when the bytes there are not one.
size_t SequenceLength(std::string_view text, size_t at, char32_t* character) {
  size_t i = at;
  const char32_t c = DecodeUtf8(text, i);
  // U+FFFD stands for a broken sequence, unless the text holds U+FFFD itself.
  if (c == kReplacement && text.substr(at, 3) != "\xEF\xBF\xBD") return 0;
  *character = c;
  return i - at;
}

// Characters a terminal shows as nothing, or that reorder or break what follows: format
// characters (Unicode's Cf: bidirectional controls and isolates, zero-width characters, the
// byte order mark, the soft hyphen, tags, ...), the other characters that are invisible by
// default (Default_Ignorable_Code_Point: fillers, variation selectors), and the line and
// paragraph separators. Printed as they are, they make a URL or a file name read as
// something else.
bool IsDeceptive(char32_t c) {
  static constexpr struct {
    char32_t first, last;
  } kRanges[] = {
      {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},   {0x061C, 0x061C},
      {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},
      {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},   {0x200B, 0x200F},
      {0x2028, 0x202E},   {0x2060, 0x206F},   {0x3164, 0x3164},   {0xFE00, 0xFE0F},
      {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD},
      {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
      {0xE0000, 0xE0FFF},
  };
  if (c < 0xAD) return false;  // the common case: nothing below the soft hyphen
  for (const auto& range : kRanges) {
    if (c < range.first) return false;
    if (c <= range.last) return true;
  }
  return false;
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
    char32_t c = 0;
    const size_t length = byte < 0x80 ? 0 : SequenceLength(text, at, &c);
    // U+0080..U+009F are the C1 controls, which terminals obey as well (CSI is U+009B).
    if (length == 0 || c < 0xA0) {
      for (size_t i = 0; i < std::max<size_t>(length, 1); ++i) {
        AppendEscaped(out, static_cast<unsigned char>(text[at + i]));
      }
      at += std::max<size_t>(length, 1);
      continue;
    }
    if (IsDeceptive(c)) {
      char code[12];
      std::snprintf(code, sizeof code, c > 0xFFFF ? "\\U%08x" : "\\u%04x",
                    static_cast<unsigned>(c));
      out += code;
    } else {
      out.append(text.substr(at, length));
    }
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
