#include "platform/shell/PrivateProfile.h"

#include <cwctype>
#include <fstream>

#include "platform/win32/StringConv.h"

namespace {

// Profiles are small; a larger file is not one.
constexpr std::streamsize kMaxFileBytes = 1 << 20;
// GetPrivateProfileIntW reads the value into a buffer of 30 characters.
constexpr size_t kIntegerChars = 29;

std::optional<std::string> ReadFileBytes(const std::wstring& file) {
  std::ifstream in(WideToUtf8(file), std::ios::binary);
  if (!in) return std::nullopt;
  // Read in chunks: a buffer of the whole limit for every small file made each call slow.
  std::string bytes;
  char chunk[16384];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.append(chunk, static_cast<size_t>(in.gcount()));
    if (bytes.size() > static_cast<size_t>(kMaxFileBytes)) return std::nullopt;
  }
  return bytes;
}

std::wstring DecodeUtf16Le(std::string_view bytes) {
  std::wstring out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char32_t unit = static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
      char32_t low = static_cast<uint8_t>(bytes[i + 2]) | (static_cast<uint8_t>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    out += static_cast<wchar_t>(unit);
  }
  return out;
}

std::wstring DecodeProfile(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    return DecodeUtf16Le(bytes.substr(2));
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return Utf8ToWide(bytes);
}

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

std::wstring_view StripQuotes(std::wstring_view value) {
  if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// Finds the key in the first section of the name.
std::optional<std::wstring> FindValue(std::wstring_view text, std::wstring_view section,
                                      std::wstring_view key) {
  enum class Where { kBefore, kInside, kAfter } where = Where::kBefore;
  while (!text.empty() && where != Where::kAfter) {
    size_t end = text.find(L'\n');
    std::wstring_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::wstring_view::npos ? text.size() : end + 1);
    size_t close = line.rfind(L']');
    if (!line.empty() && line.front() == L'[' && close != std::wstring_view::npos) {
      bool match = SameName(Trim(line.substr(1, close - 1)), section);
      if (where == Where::kInside)
        where = Where::kAfter;
      else if (match)
        where = Where::kInside;
      continue;
    }
    size_t equals = line.find(L'=');
    if (where != Where::kInside || line.starts_with(L';') || equals == std::wstring_view::npos) {
      continue;
    }
    if (SameName(Trim(line.substr(0, equals)), key)) {
      return std::wstring(StripQuotes(Trim(line.substr(equals + 1))));
    }
  }
  return std::nullopt;
}

int DigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
  if (c >= L'a' && c <= L'z') return c - L'a' + 10;
  return 99;
}

uint32_t WindowsInteger(std::wstring_view text) {
  while (!text.empty() && text.front() <= L' ') text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == L'+' || text.front() == L'-')) {
    negative = text.front() == L'-';
    text.remove_prefix(1);
  }
  uint32_t base = 10;
  if (text.size() >= 2 && text[0] == L'0') {
    if (text[1] == L'x') base = 16;
    if (text[1] == L'o') base = 8;
    if (text[1] == L'b') base = 2;
    if (base != 10) text.remove_prefix(2);
  }
  uint32_t total = 0;
  for (wchar_t c : text) {
    int digit = DigitValue(c);
    if (digit >= static_cast<int>(base)) break;
    total = total * base + static_cast<uint32_t>(digit);
  }
  return negative ? 0u - total : total;
}

}  // namespace

std::optional<std::wstring> ReadPrivateProfileString(std::wstring_view section,
                                                     std::wstring_view key,
                                                     const std::wstring& file) {
  std::optional<std::string> bytes = ReadFileBytes(file);
  if (!bytes) return std::nullopt;
  return FindValue(DecodeProfile(*bytes), section, key);
}

UINT GetPrivateProfileIntW(const wchar_t* section, const wchar_t* key, int defaultValue,
                           const wchar_t* file) {
  if (!section || !key || !file) return static_cast<UINT>(defaultValue);
  std::optional<std::wstring> value = ReadPrivateProfileString(section, key, file);
  if (!value || value->empty()) return static_cast<UINT>(defaultValue);
  return WindowsInteger(std::wstring_view(*value).substr(0, kIntegerChars));
}
