// What a followed redirect carries. NextHop is the one place that decides it; every path
// that follows a redirect (the WinINet stand-in's own following, the HTTP task's following
// of reported redirects) calls it. Pure functions, safe on any thread.
#ifndef ZVNET_PLATFORM_WININET_HTTPREDIRECT_H_
#define ZVNET_PLATFORM_WININET_HTTPREDIRECT_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/WinTypes.h"

// One request of a redirect chain.
struct HttpHop {
  std::string url;  // absolute; credentials in it count as the hop's when `user` is empty
  std::string verb = "GET";
  bool hasBody = false;
  std::string user, password;            // server credentials
  std::vector<std::string> headerLines;  // the caller's own, "Name: value"
};

// The request that a redirect answer (`status`, `location`, relative or absolute) to
// `current` leads to, written to `next`. Only http and https are followed, and https to
// http only when `allowHttpsToHttp`. Within the origin (scheme, host and port) credentials
// and header lines stay; to another origin the caller's credentials, Authorization,
// Proxy-Authorization and Cookie lines are left behind, and only credentials written into
// the Location itself go. `next.url` never holds credentials. 303 (301 and 302 after a
// POST) turns the request into a GET without body.
// Answers 0, or the error that ends the transfer instead: ERROR_INTERNET_INVALID_URL,
// ERROR_INTERNET_UNRECOGNIZED_SCHEME or ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR.
DWORD NextHop(const HttpHop& current, int status, std::string_view location, bool allowHttpsToHttp,
              HttpHop& next);

// The lines of a header text (CRLF or LF separated), trimmed, blank lines dropped.
// Header text: names compare without case; values lose their surrounding blanks.
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Trim(std::string_view text);
std::vector<std::string> HeaderLines(std::string_view text);
// Whether the header line "Name: value" is named `name` (any case).
bool HeaderNameIs(std::string_view line, std::string_view name);
// Whether one of `lines` is named `name`.
bool HasHeader(const std::vector<std::string>& lines, std::string_view name);

#endif  // ZVNET_PLATFORM_WININET_HTTPREDIRECT_H_
