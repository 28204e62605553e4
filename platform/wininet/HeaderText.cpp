#include "platform/wininet/HeaderText.h"

#include <algorithm>

namespace {

// Header names are ASCII tokens: the host's locale has no say in their case.
char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The blanks a header name or value loses; tested directly, as this runs for every field of
// every response.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

std::string_view TrimView(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string Trim(std::string_view text) {
  return std::string(TrimView(text));
}

std::vector<std::string> HeaderLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = Trim(text.substr(start, end == text.npos ? text.npos : end - start));
    if (!line.empty()) lines.push_back(std::move(line));
    if (end == text.npos) break;
    start = end + 1;
  }
  return lines;
}

bool HeaderNameIs(std::string_view line, std::string_view name) {
  return EqualsNoCase(TrimView(line.substr(0, line.find(':'))), name);
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return HeaderNameIs(line, name); });
}
