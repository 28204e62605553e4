// The redirect rule itself, once a URL parser (libcurl's on Linux, WinINet's on Windows) has
// read both ends of the hop.
#include "platform/wininet/HttpRedirect.h"
#include "platform/wininet/WinInet.h"

namespace {

// Header lines that authenticate the caller or carry its session: they stay in their origin.
bool IsCredentialLine(const std::string& line) {
  return HeaderNameIs(line, "Authorization") || HeaderNameIs(line, "Proxy-Authorization") ||
         HeaderNameIs(line, "Cookie");
}

bool IsHttp(const std::string& scheme) {
  return EqualsNoCase(scheme, "http") || EqualsNoCase(scheme, "https");
}

}  // namespace

DWORD FollowRedirectRule(const HttpHop& current, int status, const HttpUrlParts& from,
                         HttpUrlParts to, bool allowHttpsToHttp, HttpHop& next) {
  if (!IsHttp(to.scheme)) return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
  if (EqualsNoCase(from.scheme, "https") && EqualsNoCase(to.scheme, "http") && !allowHttpsToHttp) {
    return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
  }
  if (to.url.empty()) return ERROR_INTERNET_INVALID_URL;
  const bool sameOrigin = EqualsNoCase(from.scheme, to.scheme) &&
                          EqualsNoCase(from.host, to.host) && from.port == to.port;

  HttpHop hop;
  hop.url = std::move(to.url);
  hop.user = std::move(to.user);
  hop.password = std::move(to.password);
  if (hop.user.empty() && hop.password.empty() && sameOrigin) {
    // The request's own credentials, else those written into its URL.
    const bool own = !current.user.empty();
    hop.user = own ? current.user : from.user;
    hop.password = own ? current.password : from.password;
  }
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
