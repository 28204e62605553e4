// Windows: NextHop reads URLs with WinINet's own functions (InternetCombineUrlA for a relative
// Location, InternetCrackUrlA for the parts) in place of libcurl's URL parser; the rule is the
// shared one (HttpRedirectRule.cpp).
#include "platform/wininet/HttpRedirect.h"

#include <string>

#include "platform/wininet/PercentDecode.h"
#include "platform/wininet/WinInet.h"

namespace {

struct Url {
  std::string scheme, user, password, host, path;
  INTERNET_PORT port = 0;
};

// The parts of an absolute URL, the port filled in from the scheme when absent.
bool Crack(const std::string& text, Url* url) {
  const DWORD size = static_cast<DWORD>(text.size() + 1);
  std::string scheme(size, '\0'), user(size, '\0'), password(size, '\0'), host(size, '\0'),
      path(size, '\0'), extra(size, '\0');
  // Each part is copied into its buffer, which the whole text fits in.
  const auto into = [size](std::string& buffer, LPSTR* field, DWORD* length) {
    *field = buffer.data();
    *length = size;
  };
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  into(scheme, &parts.lpszScheme, &parts.dwSchemeLength);
  into(user, &parts.lpszUserName, &parts.dwUserNameLength);
  into(password, &parts.lpszPassword, &parts.dwPasswordLength);
  into(host, &parts.lpszHostName, &parts.dwHostNameLength);
  into(path, &parts.lpszUrlPath, &parts.dwUrlPathLength);
  into(extra, &parts.lpszExtraInfo, &parts.dwExtraInfoLength);
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

HttpUrlParts PartsOf(const Url& url) {
  return {url.scheme, url.host, std::to_string(url.port), url.user, url.password, Join(url)};
}

}  // namespace

std::string ResolveLocation(const std::string& base, std::string_view location) {
  Url from;
  std::string combined;
  // Join leaves the credentials out: a relative Location must not inherit them.
  if (!Crack(base, &from) || !Combine(Join(from), std::string(location), &combined)) return {};
  return combined;
}

DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next) {
  Url from;
  if (!Crack(current.url, &from)) return ERROR_INTERNET_INVALID_URL;
  const std::string combined = ResolveLocation(current.url, location);
  Url to;
  if (combined.empty() || !Crack(combined, &to)) {
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
  return FollowRedirectRule(current, status, PartsOf(from), PartsOf(to), allowHttpsToHttp, next);
}
