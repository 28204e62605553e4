#include "platform/win32/StringConv.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Writes `c` at `out` (room for 4 bytes); answers how many bytes it took.
size_t EncodeUtf8(char32_t c, char* out) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// Decodes one sequence at text[i]; advances i past it.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto lead = static_cast<uint8_t>(text[i++]);
  if (lead < 0x80) return lead;
  int extra;
  char32_t c;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, c = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, c = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, c = lead & 0x07, min = 0x10000;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size() || (static_cast<uint8_t>(text[i]) & 0xC0) != 0x80) return kReplacement;
    c = (c << 6) | (static_cast<uint8_t>(text[i++]) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
  return c;
}

}  // namespace

// Both directions copy runs of ASCII, which is nearly all the text that passes (header
// fields, URLs, paths), without the per-character append.
std::string WideToUtf8(std::wstring_view text) {
  std::string out(text.size(), '\0');
  size_t used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<char32_t>(text[i]);
    if (c < 0x80) {
      out[used++] = static_cast<char>(c);
      continue;
    }
    // Room for this one's 4 bytes and one for each character left, grown by halves so that
    // text of many wide characters stays linear.
    const size_t needed = used + 4 + (text.size() - i - 1);
    if (needed > out.size()) out.resize(std::max(needed, out.size() + out.size() / 2));
    used += EncodeUtf8(c, out.data() + used);
  }
  out.resize(used);
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  // Never more characters than bytes.
  std::wstring out(text.size(), L'\0');
  size_t used = 0;
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80) {
      out[used++] = static_cast<wchar_t>(byte);
      ++i;
    } else {
      out[used++] = static_cast<wchar_t>(DecodeUtf8(text, i));
    }
  }
  out.resize(used);
  return out;
}
