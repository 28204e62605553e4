// Windows: NextHop with WinINet's own URL functions (InternetCombineUrlA for a relative
// Location, InternetCrackUrlA for the parts) in place of libcurl's URL parser. The rule is the
// one of platform/wininet/HttpRedirect.cpp: same origin keeps credentials and header lines,
// another origin gets neither, only http and https, https to http only when allowed.
#include "platform/wininet/HttpRedirect.h"

#include <algorithm>
#include <cstring>

#include "platform/wininet/WinInet.h"

namespace {

struct Url {
  std::string scheme, user, password, host, path;
  INTERNET_PORT port = 0;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
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

// The parts of an absolute URL, the port filled in from the scheme when absent.
bool Crack(const std::string& text, Url* url) {
  const DWORD size = static_cast<DWORD>(text.size() + 1);
  std::string scheme(size, '\0'), user(size, '\0'), password(size, '\0'), host(size, '\0'),
      path(size, '\0'), extra(size, '\0');
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszScheme = scheme.data();
  parts.dwSchemeLength = size;
  parts.lpszUserName = user.data();
  parts.dwUserNameLength = size;
  parts.lpszPassword = password.data();
  parts.dwPasswordLength = size;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = size;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = size;
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = size;
  if (!::InternetCrackUrlA(text.c_str(), 0, 0, &parts)) return false;
  url->scheme = scheme.c_str();
  url->user = PercentDecode(user.c_str());
  url->password = PercentDecode(password.c_str());
  url->host = host.c_str();
  url->path = std::string(path.c_str()) + extra.c_str();
  url->port = parts.nPort;
  return !url->host.empty();
}

// `location` read against `base` (itself absolute, without credentials).
bool Combine(const std::string& base, const std::string& location, std::string* url) {
  DWORD length = 0;
  ::InternetCombineUrlA(base.c_str(), location.c_str(), nullptr, &length, 0);
  if (length == 0) return false;
  std::string combined(length + 1, '\0');
  length = static_cast<DWORD>(combined.size());
  if (!::InternetCombineUrlA(base.c_str(), location.c_str(), combined.data(), &length, 0)) {
    return false;
  }
  *url = combined.c_str();
  return true;
}

// The URL without credentials; the port only when it is not the scheme's own.
std::string Join(const Url& url) {
  const bool bracket = url.host.find(':') != std::string::npos && url.host.front() != '[';
  std::string text = url.scheme + "://" + (bracket ? "[" + url.host + "]" : url.host);
  const bool defaultPort = (EqualsNoCase(url.scheme, "http") && url.port == 80) ||
                           (EqualsNoCase(url.scheme, "https") && url.port == 443);
  if (!defaultPort) text += ":" + std::to_string(url.port);
  return text + (url.path.empty() || url.path.front() != '/' ? "/" : "") + url.path;
}

bool SameOrigin(const Url& a, const Url& b) {
  return EqualsNoCase(a.scheme, b.scheme) && EqualsNoCase(a.host, b.host) && a.port == b.port;
}

// Header lines that authenticate the caller or carry its session: they stay in their origin.
bool IsCredentialLine(const std::string& line) {
  return HeaderNameIs(line, "Authorization") || HeaderNameIs(line, "Proxy-Authorization") ||
         HeaderNameIs(line, "Cookie");
}

}  // namespace

DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next) {
  Url from;
  if (!Crack(current.url, &from)) return ERROR_INTERNET_INVALID_URL;
  std::string user = current.user, password = current.password;
  if (user.empty()) {
    user = from.user;
    password = from.password;
  }
  // A relative Location must not inherit the credentials of the base.
  std::string combined;
  Url to;
  if (!Combine(Join(from), std::string(location), &combined) || !Crack(combined, &to)) {
    // A Location WinINet cannot crack may still name a scheme of its own.
    const std::string text(location);
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.compare(colon, 3, "://") == 0) {
      const std::string scheme = text.substr(0, colon);
      if (!EqualsNoCase(scheme, "http") && !EqualsNoCase(scheme, "https")) {
        return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
      }
    }
    return ERROR_INTERNET_INVALID_URL;
  }
  if (!EqualsNoCase(to.scheme, "http") && !EqualsNoCase(to.scheme, "https")) {
    return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  }
  if (EqualsNoCase(from.scheme, "https") && EqualsNoCase(to.scheme, "http") && !allowHttpsToHttp) {
    return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
  }
  const bool sameOrigin = SameOrigin(from, to);

  HttpHop hop;
  hop.user = to.user;
  hop.password = to.password;
  if (hop.user.empty() && hop.password.empty() && sameOrigin) {
    hop.user = std::move(user);
    hop.password = std::move(password);
  }
  hop.url = Join(to);

  const bool toGet = (status == 303 && current.verb != "HEAD") ||
                     ((status == 301 || status == 302) && current.verb == "POST");
  hop.verb = toGet ? "GET" : current.verb;
  hop.hasBody = current.hasBody && !toGet;
  for (const std::string& line : current.headerLines) {
    if (sameOrigin || !IsCredentialLine(line)) hop.headerLines.push_back(line);
  }
  next = std::move(hop);
  return 0;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::_strnicmp(a.data(), b.data(), a.size()) == 0;
}

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
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
  return EqualsNoCase(Trim(line.substr(0, line.find(':'))), name);
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view name) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return HeaderNameIs(line, name); });
}
