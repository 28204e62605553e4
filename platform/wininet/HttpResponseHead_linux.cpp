#include "platform/wininet/HttpResponseHead_linux.h"

#include <strings.h>

#include <cstdlib>

#include "platform/wininet/HttpRedirect.h"

namespace {

// Room for a usual head at once, instead of growing with every field.
constexpr size_t kUsualHead = 1024;

}  // namespace

bool CHttpResponseHead::AddLine(std::string_view line) {
  if (line.substr(0, 5) == "HTTP/") {
    raw.clear();
    raw.reserve(kUsualHead);
    size_t space = line.find(' ');
    status = space == line.npos ? 0 : std::atoi(std::string(line.substr(space + 1)).c_str());
  }
  raw.append(line);
  return line == "\r\n" || line == "\n";
}

void CHttpResponseHead::Clear() {
  raw.clear();
  status = 0;
}

bool CHttpResponseHead::IsRedirect() const {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string CHttpResponseHead::StatusText() const {
  std::string line = raw.substr(0, raw.find('\r'));
  size_t first = line.find(' ');
  size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
  return second == std::string::npos ? "" : line.substr(second + 1);
}

bool CHttpResponseHead::Find(std::string_view name, std::string& value) const {
  std::string_view head = raw;
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos + 1 < head.size()) {
    size_t start = pos + 1;
    size_t end = head.find('\n', start);
    std::string_view line =
        head.substr(start, end == std::string_view::npos ? head.npos : end - start);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(TrimView(line.substr(0, colon)), name)) {
      value = TrimView(line.substr(colon + 1));
      return true;
    }
    pos = end;
  }
  return false;
}

bool CHttpResponseHead::SettleBodyLength() {
  std::string encoding;
  std::string_view first;
  bool lengths = false, conflicting = false;
  const std::string_view head = raw;
  for (size_t start = 0; start < head.size();) {
    const size_t end = head.find('\n', start);
    const std::string_view line = head.substr(start, end == head.npos ? head.npos : end - start);
    start = end == head.npos ? head.size() : end + 1;
    const size_t colon = line.find(':');
    if (colon == line.npos) continue;
    // Only the two fields that matter have their value looked at.
    const std::string_view name = TrimView(line.substr(0, colon));
    if (EqualsNoCase(name, "Transfer-Encoding")) {
      if (!encoding.empty()) encoding += ", ";
      encoding += TrimView(line.substr(colon + 1));
    } else if (EqualsNoCase(name, "Content-Length")) {
      const std::string_view value = TrimView(line.substr(colon + 1));
      conflicting = conflicting || (lengths && value != first);
      first = value;
      lengths = true;
    }
  }
  if (encoding.empty()) return !conflicting;
  if (!lengths) return true;
  const size_t comma = encoding.rfind(',');
  if (!EqualsNoCase(TrimView(comma == encoding.npos ? std::string_view(encoding)
                                                    : std::string_view(encoding).substr(comma + 1)),
                    "chunked")) {
    return false;
  }
  DropContentLength();
  return true;
}

void CHttpResponseHead::DropContentLength() {
  std::string settled;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\n', start);
    end = end == raw.npos ? raw.size() : end + 1;
    std::string_view line(raw.data() + start, end - start);
    const size_t colon = line.find(':');
    if (start == 0 || colon == line.npos ||
        !EqualsNoCase(TrimView(line.substr(0, colon)), "Content-Length")) {
      settled.append(line);
    }
    start = end;
  }
  raw = std::move(settled);
}
