#include "platform/wininet/HttpRedirect.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <memory>

#include "platform/wininet/WinInet.h"

namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// A part of `url`, empty when absent.
std::string Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  std::string result;
  if (curl_url_get(url, part, &text, flags) == CURLUE_OK && text) result = text;
  curl_free(text);
  return result;
}

struct Origin {
  std::string scheme, host, port;
  bool operator==(const Origin& other) const {
    return EqualsNoCase(scheme, other.scheme) && EqualsNoCase(host, other.host) &&
           port == other.port;
  }
};

Origin OriginOf(CURLU* url) {
  return {Part(url, CURLUPART_SCHEME), Part(url, CURLUPART_HOST),
          Part(url, CURLUPART_PORT, CURLU_DEFAULT_PORT)};
}

// Header lines that authenticate the caller or carry its session: they stay in their origin.
bool IsCredentialLine(const std::string& line) {
  const std::string name = Trim(std::string_view(line).substr(0, line.find(':')));
  return EqualsNoCase(name, "Authorization") || EqualsNoCase(name, "Proxy-Authorization") ||
         EqualsNoCase(name, "Cookie");
}

}  // namespace

DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next) {
  constexpr unsigned kAnyScheme = CURLU_NON_SUPPORT_SCHEME;
  UrlHandle base(curl_url());
  if (!base || curl_url_set(base.get(), CURLUPART_URL, current.url.c_str(), kAnyScheme)) {
    return ERROR_INTERNET_INVALID_URL;
  }
  std::string user = current.user, password = current.password;
  if (user.empty()) {
    user = Part(base.get(), CURLUPART_USER, CURLU_URLDECODE);
    password = Part(base.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
  }
  // A relative Location must not inherit the credentials of the base.
  curl_url_set(base.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(base.get(), CURLUPART_PASSWORD, nullptr, 0);

  UrlHandle target(curl_url_dup(base.get()));
  const std::string text(location);
  if (!target ||
      curl_url_set(target.get(), CURLUPART_URL, text.c_str(), kAnyScheme | CURLU_ALLOW_SPACE)) {
    return ERROR_INTERNET_INVALID_URL;
  }
  const Origin from = OriginOf(base.get());
  const Origin to = OriginOf(target.get());
  if (!EqualsNoCase(to.scheme, "http") && !EqualsNoCase(to.scheme, "https")) {
    return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  }
  if (EqualsNoCase(from.scheme, "https") && EqualsNoCase(to.scheme, "http") && !allowHttpsToHttp) {
    return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
  }
  const bool sameOrigin = from == to;

  HttpHop hop;
  hop.user = Part(target.get(), CURLUPART_USER, CURLU_URLDECODE);
  hop.password = Part(target.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
  if (hop.user.empty() && hop.password.empty() && sameOrigin) {
    hop.user = std::move(user);
    hop.password = std::move(password);
  }
  curl_url_set(target.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(target.get(), CURLUPART_PASSWORD, nullptr, 0);
  hop.url = Part(target.get(), CURLUPART_URL);
  if (hop.url.empty()) return ERROR_INTERNET_INVALID_URL;

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
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
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
